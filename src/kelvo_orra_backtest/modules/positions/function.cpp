#include "function.hpp"

#include <structmember.h>

#include <cstring>
#include <exception>
#include <string>

namespace kob {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodSpec* method;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* defaults;     // tuple or nullptr
    PyObject* annotations;  // dict
    PyObject* globals;      // dict
    PyObject* dict;         // function attributes, created on demand
    PyObject* signature;    // __text_signature__ text
    PyObject** argnames;    // interned names, self first
    Py_ssize_t nparams;     // parameters including self
    Py_ssize_t nrequired;   // required parameters including self
};

PyTypeObject* FunctionType = nullptr;

constexpr Py_ssize_t kMaxParams = 16;

[[gnu::cold]] PyObject* raise_argtuple(const FunctionObject* f, Py_ssize_t given) {
    const Py_ssize_t min = f->nrequired;
    const Py_ssize_t max = f->method->star ? PY_SSIZE_T_MAX : f->nparams;
    const char* word;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        word = "at least";
    } else {
        expected = max;
        word = "at most";
    }
    if (min == max) word = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->method->name, word,
                 expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

const char* expected_name(Kind k) {
    switch (k) {
        case Kind::Str:
        case Kind::StrOrNone: return "str";
        case Kind::Int:
        case Kind::IntOrNone: return "int";
        case Kind::Dict: return "dict";
        case Kind::List: return "list";
        case Kind::FloatOrNone: return "float";
        default: return "object";
    }
}

bool type_ok(Kind k, PyObject* o) {
    switch (k) {
        case Kind::Str: return PyUnicode_CheckExact(o);
        case Kind::Int: return PyLong_CheckExact(o);
        case Kind::Dict: return PyDict_CheckExact(o);
        case Kind::List: return PyList_CheckExact(o);
        case Kind::FloatOrNone: return o == Py_None || PyFloat_CheckExact(o);
        case Kind::IntOrNone: return o == Py_None || PyLong_CheckExact(o);
        case Kind::StrOrNone: return o == Py_None || PyUnicode_CheckExact(o);
        default: return true;
    }
}

Py_ssize_t find_name(const FunctionObject* f, PyObject* key) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (f->argnames[i] == key) return i;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        int eq = PyUnicode_Compare(f->argnames[i], key) == 0;
        if (eq) return i;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const MethodSpec& method = *f->method;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t np = f->nparams;
    PyObject* values[kMaxParams] = {};

    if (nargs > np && !method.star) return raise_argtuple(f, nargs);
    const Py_ssize_t npos = nargs < np ? nargs : np;
    for (Py_ssize_t i = 0; i < npos; ++i) values[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw) {
        Py_ssize_t left = nkw;
        PyObject* const* kwvalues = args + nargs;
        // Required parameters not given positionally come from the keywords,
        // in parameter order; the first one missing is a count error.
        for (Py_ssize_t i = npos; i < f->nrequired; ++i) {
            Py_ssize_t found = -1;
            for (Py_ssize_t k = 0; k < nkw; ++k)
                if (PyTuple_GET_ITEM(kwnames, k) == f->argnames[i]) {
                    found = k;
                    break;
                }
            if (found < 0)
                for (Py_ssize_t k = 0; k < nkw; ++k)
                    if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), f->argnames[i]) == 0) {
                        found = k;
                        break;
                    }
            if (found < 0) return raise_argtuple(f, i);
            values[i] = kwvalues[found];
            --left;
        }
        if (left > 0) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                Py_ssize_t idx = find_name(f, key);
                if (idx >= 0 && idx < f->nrequired && idx >= npos) continue;  // taken above
                if (idx < 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method.name, key);
                    return nullptr;
                }
                if (idx < npos || values[idx]) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", method.name,
                                 key);
                    return nullptr;
                }
                values[idx] = kwvalues[k];
            }
        }
    } else if (npos < f->nrequired) {
        return raise_argtuple(f, nargs);
    }

    // Defaults of the parameters still empty.
    const Py_ssize_t first_default = f->defaults ? np - PyTuple_GET_SIZE(f->defaults) : np;
    for (Py_ssize_t i = first_default; i < np; ++i)
        if (!values[i]) values[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);

    // Float conversions first, then type tests, each in parameter order.
    double nums[kMaxParams];
    const auto& params = method.params;
    const Py_ssize_t off = method.plain ? 0 : 1;
    const Py_ssize_t nuser = np - off;
    for (Py_ssize_t i = 0; i < nuser; ++i) {
        if (params[i].kind != Kind::Float) continue;
        PyObject* o = values[i + off];
        if (PyFloat_CheckExact(o)) {
            nums[i] = PyFloat_AS_DOUBLE(o);
        } else {
            nums[i] = PyFloat_AsDouble(o);
            if (nums[i] == -1.0 && PyErr_Occurred()) return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < nuser; ++i) {
        const Kind k = params[i].kind;
        if (k == Kind::Any || k == Kind::Float) continue;
        PyObject* o = values[i + off];
        if (!type_ok(k, o)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         params[i].name, expected_name(k), Py_TYPE(o)->tp_name);
            return nullptr;
        }
    }

    PyObject* star = nullptr;
    py::object star_holder;
    if (method.star) {
        Py_ssize_t extra = nargs > np ? nargs - np : 0;
        star = PyTuple_New(extra);
        if (!star) return nullptr;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            Py_INCREF(args[np + i]);
            PyTuple_SET_ITEM(star, i, args[np + i]);
        }
        star_holder = py::reinterpret_steal<py::object>(star);
    }

    Call call{method.plain ? nullptr : values[0], values + off, nums, star, f->globals, callable};
    try {
        py::object result = method.impl(call);
        if (!result) Py_RETURN_NONE;
        return result.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->doc);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->signature);
    if (f->argnames) {
        for (Py_ssize_t i = 0; i < f->nparams; ++i) Py_XDECREF(f->argnames[i]);
        PyMem_Free(f->argnames);
    }
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_signature(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->signature); }

PyObject* get_str(PyObject** slot) { return Py_NewRef(*slot); }

int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_str(&reinterpret_cast<FunctionObject*>(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_str(&reinterpret_cast<FunctionObject*>(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return get_str(&reinterpret_cast<FunctionObject*>(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str(&reinterpret_cast<FunctionObject*>(self)->qualname, v, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->annotations);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__text_signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    nullptr,  // "<module>.function", set by ready_function_type
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// "($self, code, unit, freq, exprs=[], to_pandas_df=False)"
std::string text_signature(const MethodSpec& method) {
    std::string s = method.plain ? "(" : "(self";
    for (const Param& p : method.params) {
        if (s.size() > 1) s += ", ";
        s += p.name;
        switch (p.def) {
            case Def::None: s += "=None"; break;
            case Def::False: s += "=False"; break;
            case Def::True: s += "=True"; break;
            case Def::EmptyList: s += "=[]"; break;
            default: break;
        }
    }
    if (method.star) {
        s += s.size() > 1 ? ", *" : "*";
        s += method.star;
    }
    s += ")";
    return s;
}

}  // namespace

py::object Call::global(PyObject* name) const { return global_of(globals, name); }

py::object global_of(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(got)->tp_name);
    throw py::error_already_set();
}

py::object make_function(const MethodSpec& method, const char* qualname, py::handle module_name, py::handle globals,
                         py::handle shared_empty_list) {
    const Py_ssize_t off = method.plain ? 0 : 1;
    const Py_ssize_t np = static_cast<Py_ssize_t>(method.params.size()) + off;
    if (np > kMaxParams) throw std::runtime_error("too many parameters");
    auto* f = PyObject_GC_New(FunctionObject, FunctionType);
    if (!f) throw py::error_already_set();
    // Every field is valid before anything can fail, so dealloc is always safe.
    f->vectorcall = function_vectorcall;
    f->method = &method;
    f->name = f->qualname = f->doc = f->defaults = f->annotations = nullptr;
    f->globals = f->dict = f->signature = nullptr;
    f->argnames = nullptr;
    f->nparams = 0;
    f->nrequired = off;
    py::object holder = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));

    f->argnames = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(np), sizeof(PyObject*)));
    if (!f->argnames) throw std::bad_alloc();
    f->nparams = np;
    if (off) f->argnames[0] = check(PyUnicode_InternFromString("self"));
    py::list defaults;
    py::dict annotations;
    for (Py_ssize_t i = off; i < np; ++i) {
        const Param& p = method.params[static_cast<size_t>(i - off)];
        f->argnames[i] = check(PyUnicode_InternFromString(p.name));
        if (p.annotation) annotations[p.name] = py::str(p.annotation);
        switch (p.def) {
            case Def::Required: f->nrequired = i + 1; break;
            case Def::None: defaults.append(py::none()); break;
            case Def::False: defaults.append(py::bool_(false)); break;
            case Def::True: defaults.append(py::bool_(true)); break;
            case Def::EmptyList: defaults.append(shared_empty_list); break;
        }
    }
    if (method.star && method.star[0] == '\0') throw std::runtime_error("empty star name");
    if (f->nrequired + static_cast<Py_ssize_t>(py::len(defaults)) != np)
        throw std::runtime_error(std::string("defaults out of order in ") + method.name);
    if (method.returns) annotations["return"] = py::str(method.returns);

    f->name = py::str(method.name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->doc = method.doc ? py::str(method.doc).release().ptr() : Py_NewRef(Py_None);
    f->defaults = py::len(defaults) ? PyList_AsTuple(defaults.ptr()) : nullptr;
    if (py::len(defaults) && !f->defaults) throw py::error_already_set();
    f->annotations = annotations.release().ptr();
    f->globals = Py_NewRef(globals.ptr());
    f->signature = py::str(text_signature(method)).release().ptr();
    // __module__ is a plain str in the function's own __dict__, as a Python
    // function's is a plain attribute: a member of the type would put its
    // descriptor on the type, where pydoc and inspect expect a str.
    f->dict = PyDict_New();
    if (!f->dict) throw py::error_already_set();
    check(PyDict_SetItemString(f->dict, "__module__", module_name.ptr()));
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return holder;
}

PyObject* name_on_instance(const MethodSpec& method) {
    if (!method.attr_name) {  // a method table that was never registered
        PyErr_Format(PyExc_SystemError, "method %s is not registered", method.name);
        throw py::error_already_set();
    }
    return method.attr_name;
}

bool is_own_method(PyObject* self, const MethodSpec& method) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* name = name_on_instance(method);
    PyObject* found = _PyType_Lookup(tp, name);
    if (!found || Py_TYPE(found) != FunctionType || reinterpret_cast<FunctionObject*>(found)->method != &method)
        return false;
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (!dictptr || !*dictptr) return true;
    // Held: a key's comparison may replace the instance dictionary.
    py::object d = py::reinterpret_borrow<py::object>(*dictptr);
    PyObject* v = PyDict_GetItemWithError(d.ptr(), name);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v == nullptr;
}

int ready_function_type(PyObject* module) {
    if (!FunctionType) {
        // The type lives for the whole process (it is never released); the
        // vectorcall and __dict__ offsets come from the members table.  It is
        // named in the module that makes it ("<module>.function"), which
        // gives its __module__.
        const char* module_name = PyModule_GetName(module);
        if (!module_name) return -1;
        // Plain text kept (never freed) for the type, which lives as long.
        auto* type_name = new std::string(std::string(module_name) + ".function");
        function_spec.name = type_name->c_str();
        FunctionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
        if (!FunctionType) return -1;
    }
    return PyModule_AddObjectRef(module, "function", reinterpret_cast<PyObject*>(FunctionType));
}

}  // namespace kob
