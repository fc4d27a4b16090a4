// The host's number arithmetic on account amounts, with a C fast path.
//
// A `Num` is a float, a small int or any other host object.  Operations on
// floats and small ints are done in C exactly as the host does them (an int
// meeting a float is converted to a double, int results stay ints and are
// checked for overflow); anything else, and any int operation that would
// overflow, goes through the host's number protocol.
#pragma once

#include <vector>

#include <charconv>
#include <string>

#include "../common.hpp"
#include "float_text.hpp"

namespace kob::account {

struct Num {
    enum Kind : std::uint8_t { F, I, O };
    Kind kind = I;
    double d = 0.0;
    long long i = 0;
    py::object o;  // the host object, when there is one already

    static Num f(double v) {
        Num n;
        n.kind = F;
        n.d = v;
        return n;
    }
    static Num integer(long long v) {
        Num n;
        n.kind = I;
        n.i = v;
        return n;
    }
    // From a borrowed host object (kept, so an unchanged value is handed
    // back as the same object).
    static Num from(PyObject* v) {
        Num n;
        n.o = py::reinterpret_borrow<py::object>(v);
        if (PyFloat_CheckExact(v)) {
            n.kind = F;
            n.d = PyFloat_AS_DOUBLE(v);
        } else if (PyLong_CheckExact(v)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow) {
                n.kind = O;
            } else {
                n.kind = I;
                n.i = x;
            }
        } else {
            n.kind = O;
        }
        return n;
    }
    static Num from(py::handle v) { return from(v.ptr()); }

    py::object obj() const {
        if (o) return o;
        if (kind == F) return steal(PyFloat_FromDouble(d));
        return steal(PyLong_FromLongLong(i));
    }
    bool num() const { return kind != O; }
    double as_double() const { return kind == F ? d : static_cast<double>(i); }
};

enum class Op : std::uint8_t { Add, Sub, Mul };

inline Num generic(Op op, const Num& a, const Num& b) {
    py::object x = a.obj(), y = b.obj();
    PyObject* r = nullptr;
    switch (op) {
        case Op::Add: r = PyNumber_Add(x.ptr(), y.ptr()); break;
        case Op::Sub: r = PyNumber_Subtract(x.ptr(), y.ptr()); break;
        case Op::Mul: r = PyNumber_Multiply(x.ptr(), y.ptr()); break;
    }
    py::object res = steal(r);
    return Num::from(res.ptr());
}

inline Num arith(Op op, const Num& a, const Num& b) {
    if (!a.num() || !b.num()) return generic(op, a, b);
    if (a.kind == Num::I && b.kind == Num::I) {
        long long r = 0;
        bool over = false;
        switch (op) {
            case Op::Add: over = __builtin_add_overflow(a.i, b.i, &r); break;
            case Op::Sub: over = __builtin_sub_overflow(a.i, b.i, &r); break;
            case Op::Mul: over = __builtin_mul_overflow(a.i, b.i, &r); break;
        }
        if (over) return generic(op, a, b);
        return Num::integer(r);
    }
    const double x = a.as_double(), y = b.as_double();
    switch (op) {
        case Op::Add: return Num::f(x + y);
        case Op::Sub: return Num::f(x - y);
        case Op::Mul: return Num::f(x * y);
    }
    return Num::f(0.0);
}

inline Num operator+(const Num& a, const Num& b) { return arith(Op::Add, a, b); }
inline Num operator-(const Num& a, const Num& b) { return arith(Op::Sub, a, b); }
inline Num operator*(const Num& a, const Num& b) { return arith(Op::Mul, a, b); }

// True division.  Ints beyond 2**53 and every division by zero take the
// host's path (which raises ZeroDivisionError with its own message).
inline Num truediv(const Num& a, const Num& b) {
    constexpr long long kExact = 1LL << 53;
    bool fast = a.num() && b.num() && b.as_double() != 0.0;
    if (fast && a.kind == Num::I && b.kind == Num::I)
        fast = a.i <= kExact && a.i >= -kExact && b.i <= kExact && b.i >= -kExact;
    if (fast) return Num::f(a.as_double() / b.as_double());
    py::object x = a.obj(), y = b.obj();
    py::object res = steal(PyNumber_TrueDivide(x.ptr(), y.ptr()));
    return Num::from(res.ptr());
}

inline int compare_zero(const Num& a, int op) {
    if (a.kind == Num::F) {
        switch (op) {
            case Py_GT: return a.d > 0;
            case Py_EQ: return a.d == 0;
            default: break;
        }
    } else if (a.kind == Num::I) {
        switch (op) {
            case Py_GT: return a.i > 0;
            case Py_EQ: return a.i == 0;
            default: break;
        }
    }
    py::object zero = steal(PyLong_FromLong(0));
    int r = PyObject_RichCompareBool(a.obj().ptr(), zero.ptr(), op);
    check(r);
    return r;
}
inline bool gt_zero(const Num& a) { return compare_zero(a, Py_GT) != 0; }
inline bool eq_zero(const Num& a) { return compare_zero(a, Py_EQ) != 0; }

// The host's str(v).
inline py::object str_of(const Num& v) {
    if (v.kind == Num::F) {
        char buf[40];
        const int n = text::float_repr(v.d, buf);
        return steal(PyUnicode_FromStringAndSize(buf, n));
    }
    return to_str(v.obj());
}

// The host's str() of a dict whose keys and values are all plain atoms
// (ASCII text needing no escapes, small ints, floats, bools, None), built
// here; any other dict is left to the host.
inline bool append_atom(std::string& out, PyObject* o) {
    if (PyUnicode_CheckExact(o)) {
        if (!PyUnicode_IS_ASCII(o)) return false;
        const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(o));
        const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        for (Py_ssize_t k = 0; k < n; ++k)
            if (s[k] < 0x20 || s[k] == 0x7f || s[k] == '\\' || s[k] == '\'') return false;
        out += '\'';
        out.append(s, static_cast<size_t>(n));
        out += '\'';
        return true;
    }
    if (PyFloat_CheckExact(o)) {
        char buf[40];
        out.append(buf, static_cast<size_t>(text::float_repr(PyFloat_AS_DOUBLE(o), buf)));
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        char buf[24];
        std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
        return true;
    }
    if (o == Py_True) return out += "True", true;
    if (o == Py_False) return out += "False", true;
    if (o == Py_None) return out += "None", true;
    return false;
}

inline py::object dict_text(py::handle d) {
    if (PyDict_CheckExact(d.ptr())) {
        std::string out;
        out.reserve(160);
        out += '{';
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool plain = true, first = true;
        while (plain && PyDict_Next(d.ptr(), &pos, &k, &v)) {
            if (!first) out += ", ";
            first = false;
            plain = append_atom(out, k);
            if (plain) {
                out += ": ";
                plain = append_atom(out, v);
            }
        }
        if (plain) {
            out += '}';
            return steal(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
        }
    }
    return to_str(d);
}

// A console line assembled from pieces, joined once.
class Text {
public:
    Text& lit(PyObject* s) { return text(s); }
    Text& num(const Num& v) {
        parts_.push_back(str_of(v));
        return *this;
    }
    // A piece that is already the text to show.
    Text& text(py::handle s) {
        parts_.push_back(py::reinterpret_borrow<py::object>(s));
        return *this;
    }
    py::object done() const {
        py::object list = steal(PyList_New(static_cast<Py_ssize_t>(parts_.size())));
        for (size_t k = 0; k < parts_.size(); ++k)
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k), parts_[k].inc_ref().ptr());
        return steal(PyUnicode_Join(KOB_STR(""), list.ptr()));
    }

private:
    std::vector<py::object> parts_;
};

}  // namespace kob::account
