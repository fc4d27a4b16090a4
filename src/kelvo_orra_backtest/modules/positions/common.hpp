// Helpers shared by the subsystems: interned keys and small object utilities.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "function.hpp"

namespace kob {

inline PyObject* intern_or_throw(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;  // kept for the life of the process, never released
}

// An interned str, created on first use and kept for the life of the process.
#define KOB_STR(text)                                                       \
    ([]() -> PyObject* {                                                    \
        static PyObject* const kob_interned = ::kob::intern_or_throw(text); \
        return kob_interned;                                                \
    }())

// Attribute of `o` read now (no caching).
inline py::object attr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }
inline void set_attr(py::handle o, PyObject* name, py::handle v) { check(PyObject_SetAttr(o.ptr(), name, v.ptr())); }

// d[key] with the host's KeyError when missing (d may be any mapping).
inline py::object item(py::handle d, PyObject* key) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) {
            PyObject* tup = PyTuple_Pack(1, key);
            if (tup) {
                PyErr_SetObject(PyExc_KeyError, tup);
                Py_DECREF(tup);
            }
        }
        throw py::error_already_set();
    }
    return steal(PyObject_GetItem(d.ptr(), key));
}
inline py::object item(py::handle d, py::handle key) { return item(d, key.ptr()); }
// Raises `type` with the message `prefix` followed by the value formatted
// as text (the module's "unsupported ..." errors).
[[noreturn]] inline void raise_with_value(PyObject* type, PyObject* prefix, py::handle value) {
    py::object text = steal(PyObject_Format(value.ptr(), KOB_STR("")));
    py::object message = steal(PyUnicode_Concat(prefix, text.ptr()));
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// Calls `callable(*args, **kwargs)`; kwargs given as (interned name, value)
// pairs keep their order.
inline py::object call_kw(py::handle callable, std::initializer_list<py::handle> args,
                          std::initializer_list<std::pair<PyObject*, py::handle>> kwargs) {
    std::vector<PyObject*> argv;
    argv.reserve(args.size() + kwargs.size());
    for (py::handle a : args) argv.push_back(a.ptr());
    py::tuple names(kwargs.size());
    std::size_t i = 0;
    for (const auto& [name, value] : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(name));
        argv.push_back(value.ptr());
    }
    return steal(PyObject_Vectorcall(callable.ptr(), argv.data(), args.size(), kwargs.size() ? names.ptr() : nullptr));
}

// dst.extend(src), without a method call when both are exact lists.
inline void extend(py::handle dst, py::handle src) {
    if (PyList_CheckExact(dst.ptr()) && PyList_CheckExact(src.ptr())) {
        const Py_ssize_t n = PyList_GET_SIZE(dst.ptr());
        check(PyList_SetSlice(dst.ptr(), n, n, src.ptr()));
    } else {
        steal(PyObject_CallMethodOneArg(dst.ptr(), KOB_STR("extend"), src.ptr()));
    }
}

// a == b in the host's comparison (with a shortcut for two exact str).
inline bool equals(py::handle a, py::handle b) {
    if (a.ptr() == b.ptr()) return true;
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) return PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check(r);
    return r != 0;
}

// The host's truth value of o.
inline bool truth(py::handle o) {
    if (o.ptr() == Py_True) return true;
    if (o.ptr() == Py_False || o.ptr() == Py_None) return false;
    int r = PyObject_IsTrue(o.ptr());
    check(r);
    return r != 0;
}

// `key in container`.
inline bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    check(r);
    return r != 0;
}

// list.append(v), without a method call for an exact list.
inline void append(py::handle list, py::handle v) {
    if (PyList_CheckExact(list.ptr()))
        check(PyList_Append(list.ptr(), v.ptr()));
    else
        steal(PyObject_CallMethodOneArg(list.ptr(), KOB_STR("append"), v.ptr()));
}
inline void set_item(py::handle d, py::handle key, py::handle v) {
    check(PyObject_SetItem(d.ptr(), key.ptr(), v.ptr()));
}

// console.print(text), with `console` read from the module globals now.
inline void console_print(const Call& c, py::handle text) {
    py::object console = c.global(KOB_STR("console"));
    py::object print = attr(console, KOB_STR("print"));
    PyObject* args[] = {text.ptr()};
    steal(PyObject_Vectorcall(print.ptr(), args, 1, nullptr));
}

// Calls self.<name>(*args) with the method looked up on the object now.
template <typename... A>
py::object call_method(py::handle self, PyObject* name, A&&... a) {
    PyObject* args[] = {self.ptr(), py::handle(a).ptr()...};
    return steal(PyObject_VectorcallMethod(name, args, 1 + sizeof...(A), nullptr));
}

// The host's str(o).
inline py::object to_str(py::handle o) { return steal(PyObject_Str(o.ptr())); }

// For a lookup that may fail with AttributeError: clears that error; any
// other pending error (an interrupt, a memory error, an error of a
// property's own code) is thrown on to the caller.
inline void clear_attribute_error() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
}

// Runs the pending signal handlers now and throws what they raise: a Ctrl-C
// that came during native work reaches the caller.  Called before each call
// into the data-frame library, which drops (as unraisable) an error raised in
// Python code it calls back, so an interrupt left pending there is lost.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) throw py::error_already_set();
}

// The errors a low-level constructor of the data-frame library gives when
// it is missing or takes other arguments than it is called with (a library
// version that changed it).  These alone send a frame builder to the public
// constructors; every other error goes on to the caller.
inline bool constructor_unavailable(const py::error_already_set& e) {
    return e.matches(PyExc_AttributeError) || e.matches(PyExc_TypeError);
}

}  // namespace kob
