// Module entry of kelvo_orra_backtest.modules.positions.positions.
//
// Importing the module binds its libraries and the host package's names as
// module globals, switches plotting off screen, silences two warning
// categories, extends pandas, builds the report template environment, loads
// the template and registers QuoteManager and Positions.  The module uses
// multi-phase initialisation, so `__file__` is already set when the steps run.
#include "class_tables.hpp"

#include <string>

namespace kob {

namespace {

constexpr const char* kModuleName = "kelvo_orra_backtest.modules.positions.positions";

void bind(py::dict& g, const char* name, py::handle value) { g[name] = value; }

py::object import(const char* name) { return steal(PyImport_ImportModule(name)); }

// `from <module> import <name>`
py::object import_from(const py::object& module, const char* module_name, const char* name) {
    PyObject* v = PyObject_GetAttrString(module.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
        throw py::error_already_set();
    }
    return steal(v);
}

// The "tojson" template filter: str(value) with apostrophes turned into
// double quotes.
py::object tojson_filter(Call& c) {
    py::handle value = c[0];
    py::object text = PyUnicode_CheckExact(value.ptr()) ? py::reinterpret_borrow<py::object>(value) : to_str(value);
    return steal(PyUnicode_Replace(text.ptr(), KOB_STR("'"), KOB_STR("\""), -1));
}

const MethodSpec tojson_spec = {
    .name = "<lambda>",
    .params = {{"value", Kind::Any, nullptr}},
    .impl = tojson_filter,
    .plain = true,
};

std::string mangled(const char* cls, const char* name) {
    std::string n(name);
    const bool is_private = n.size() > 2 && n.compare(0, 2, "__") == 0 && n.compare(n.size() - 2, 2, "__") != 0;
    return is_private ? "_" + std::string(cls) + n : n;
}

template <std::size_t N>
py::object build_class(const char* cls, const char* doc, const MethodSpec* const (&methods)[N], py::handle globals,
                       py::handle module_name, py::handle shared_empty_list) {
    py::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = py::str(cls);
    if (doc) ns["__doc__"] = py::str(doc);
    py::object property = borrow(reinterpret_cast<PyObject*>(&PyProperty_Type));
    for (const MethodSpec* method : methods) {
        std::string qualname = std::string(cls) + "." + method->name;
        py::object fn = make_function(*method, qualname.c_str(), module_name, globals, shared_empty_list);
        const std::string attr = mangled(cls, method->name);
        if (!method->attr_name) method->attr_name = intern_or_throw(attr.c_str());  // kept for the process
        ns[py::handle(method->attr_name)] = method->property ? property(fn) : fn;
    }
    py::tuple bases =
        py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    PyObject* args[] = {py::str(cls).release().ptr(), bases.ptr(), ns.ptr()};
    py::object name_holder = py::reinterpret_steal<py::object>(args[0]);
    return steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
}

int exec_module(PyObject* m) {
    try {
        if (ready_function_type(m) < 0) return -1;
        py::dict g = py::reinterpret_borrow<py::dict>(check(PyModule_GetDict(m)));
        py::object module_name = steal(PyModule_GetNameObject(m));

        // Standard modules and the data libraries.
        bind(g, "copy", import("copy"));
        bind(g, "json", import("json"));
        bind(g, "math", import("math"));
        py::object os = import("os");
        bind(g, "os", os);
        bind(g, "pd", import("pandas"));
        bind(g, "pl", import("polars"));
        bind(g, "queue", import("queue"));
        py::object warnings = import("warnings");
        bind(g, "warnings", warnings);
        py::object matplotlib = import("matplotlib");
        bind(g, "matplotlib", matplotlib);
        // Charts are drawn off screen.
        matplotlib.attr("use")("Agg");
        // The tear-sheet library.
        py::object qs = import("quantstats_lumi");
        bind(g, "qs", qs);
        // Date-time classes, the template engine and the typing names.
        py::object datetime_mod = import("datetime");
        bind(g, "datetime", import_from(datetime_mod, "datetime", "datetime"));
        bind(g, "timedelta", import_from(datetime_mod, "datetime", "timedelta"));
        py::object jinja2 = import("jinja2");
        py::object Environment = import_from(jinja2, "jinja2", "Environment");
        py::object FileSystemLoader = import_from(jinja2, "jinja2", "FileSystemLoader");
        bind(g, "Environment", Environment);
        bind(g, "FileSystemLoader", FileSystemLoader);
        py::object typing = import("typing");
        for (const char* n : {"Any", "Dict", "List", "Literal"}) bind(g, n, import_from(typing, "typing", n));
        // The host package's names.
        py::object constant = import("kelvo_orra_backtest.constant");
        for (const char* n : {"Action", "BASIC_INFO", "FutureIndexContractValue", "OrderCond"})
            bind(g, n, import_from(constant, "kelvo_orra_backtest.constant", n));
        py::object utils = import("kelvo_orra_backtest.utils");
        for (const char* n : {"console", "make_dir"}) bind(g, n, import_from(utils, "kelvo_orra_backtest.utils", n));
        // Two warning categories are silenced.
        py::object simplefilter = warnings.attr("simplefilter");
        py::object builtins = import("builtins");
        simplefilter(py::arg("action") = "ignore", py::arg("category") = builtins.attr("FutureWarning"));
        simplefilter(py::arg("action") = "ignore", py::arg("category") = builtins.attr("RuntimeWarning"));
        // pandas gains the tear-sheet methods.
        qs.attr("extend_pandas")();
        // The module's folder and the static files beside the package.
        py::object path = os.attr("path");
        py::object file = g["__file__"];
        py::object base_dir = path.attr("dirname")(path.attr("abspath")(file));
        bind(g, "base_dir", base_dir);
        py::object static_dir = path.attr("join")(base_dir, "../../static");
        bind(g, "static_dir", static_dir);
        // The template environment.
        py::object env = Environment(py::arg("loader") = FileSystemLoader(path.attr("join")(static_dir, "templates")));
        bind(g, "env", env);
        // Its "tojson" filter.
        py::object filter = make_function(tojson_spec, "<lambda>", module_name, g, py::none());
        env.attr("filters")["tojson"] = filter;
        // The report template, loaded once.
        bind(g, "template", env.attr("get_template")("profit_report.html"));
        // The two classes.
        py::list shared_empty_list;  // the one default list of get_kbar's `exprs`
        bind(g, "QuoteManager",
             build_class("QuoteManager", "報價管理", kQuoteManagerMethods, g, module_name, shared_empty_list));
        bind(g, "Positions", build_class("Positions", nullptr, kPositionsMethods, g, module_name, shared_empty_list));
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "positions", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kob

PyMODINIT_FUNC PyInit_positions() { return PyModuleDef_Init(&kob::module_def); }
