// Module entry of kelvo_orra_backtest.modules.positions.columnar: the
// columnar quote manager, for runs whose ticks do not fit the row-wise
// store.  Importing it binds the few globals its methods read (`os`, `pl`,
// `datetime`, `static_dir`) and the class.
#include <pybind11/pybind11.h>

#include "common.hpp"
#include "columnar/manager.hpp"

namespace kob {

namespace {

py::object import(const char* name) { return steal(PyImport_ImportModule(name)); }

int exec_columnar(PyObject* m) {
    try {
        if (ready_function_type(m) < 0) return -1;
        py::dict g = py::reinterpret_borrow<py::dict>(check(PyModule_GetDict(m)));
        py::object module_name = steal(PyModule_GetNameObject(m));
        py::object os = import("os");
        g["os"] = os;
        g["pl"] = import("polars");
        py::object datetime_mod = import("datetime");
        g["datetime"] = datetime_mod.attr("datetime");
        py::object path = os.attr("path");
        py::object base_dir = path.attr("dirname")(path.attr("abspath")(g["__file__"]));
        g["base_dir"] = base_dir;
        g["static_dir"] = path.attr("join")(base_dir, "../../static");
        g["ColumnarQuoteManager"] = columnar::make_class(m, g, module_name);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

PyModuleDef_Slot columnar_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_columnar)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef columnar_def = {
    PyModuleDef_HEAD_INIT, "columnar", nullptr, 0, nullptr, columnar_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kob

PyMODINIT_FUNC PyInit_columnar() { return PyModuleDef_Init(&kob::columnar_def); }
