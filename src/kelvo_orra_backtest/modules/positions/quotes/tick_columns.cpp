// Stored tick records read into typed columns, and their stable order by
// time: the first step of every native tick table and K-bar build.
#include <algorithm>

#include "quotes.hpp"

namespace kob::quotes {

void TickColumns::reserve(std::size_t n) {
    dt.reserve(n);
    market_type.reserve(n);
    code.reserve(n);
    close.reserve(n);
    qty.reserve(n);
    tick_type.reserve(n);
    is_simulate.reserve(n);
    is_virtual.reserve(n);
}

namespace {

// Index of `s` in `uniq` (texts compared by value), appending when new.
std::uint32_t intern_index(std::vector<py::object>& uniq, PyObject* s) {
    for (std::size_t i = 0; i < uniq.size(); ++i)
        if (uniq[i].ptr() == s) return static_cast<std::uint32_t>(i);
    for (std::size_t i = 0; i < uniq.size(); ++i)
        if (PyUnicode_Compare(uniq[i].ptr(), s) == 0) return static_cast<std::uint32_t>(i);
    uniq.push_back(py::reinterpret_borrow<py::object>(s));
    return static_cast<std::uint32_t>(uniq.size() - 1);
}

}  // namespace

bool gather_records(PyObject* records, Py_ssize_t start, Py_ssize_t end, TickColumns& cols) {
    ensure_datetime_api();
    cols.reserve(cols.size() + static_cast<std::size_t>(end - start));
    std::uint32_t last_mt = 0, last_code = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        PyObject* r = PyList_GET_ITEM(records, i);
        if (!PyDict_CheckExact(r) || PyDict_GET_SIZE(r) != 8) return false;
        // Records made here hold the eight keys in order: read them in one
        // pass, and look the keys up only when the order differs.
        PyObject* v[8];
        {
            static PyObject* const keys[8] = {KOB_STR("dt"),          KOB_STR("market_type"), KOB_STR("code"),
                                              KOB_STR("close"),       KOB_STR("qty"),         KOB_STR("tick_type"),
                                              KOB_STR("is_simulate"), KOB_STR("is_virtual")};
            Py_ssize_t pos = 0;
            PyObject *k, *val;
            bool in_order = true;
            for (int j = 0; j < 8; ++j) {
                if (!PyDict_Next(r, &pos, &k, &val) || k != keys[j]) {
                    in_order = false;
                    break;
                }
                v[j] = val;
            }
            if (!in_order) {
                // Looked up only among exact str keys: a key of another type
                // could run its own comparison, which may change the list.
                Py_ssize_t p = 0;
                while (PyDict_Next(r, &p, &k, &val))
                    if (!PyUnicode_CheckExact(k)) return false;
                for (int j = 0; j < 8; ++j) {
                    v[j] = PyDict_GetItemWithError(r, keys[j]);
                    if (!v[j]) {
                        if (PyErr_Occurred()) throw py::error_already_set();
                        return false;
                    }
                }
            }
        }
        PyObject *dt = v[0], *mt = v[1], *code = v[2], *close = v[3], *qty = v[4], *tt = v[5], *sim = v[6],
                 *virt = v[7];
        if (!dt || !mt || !code || !close || !qty || !tt || !sim || !virt) return false;
        if (!is_naive_datetime(dt) || !PyUnicode_CheckExact(mt) || !PyUnicode_CheckExact(code) ||
            !PyFloat_CheckExact(close) || !PyLong_CheckExact(qty) || !PyLong_CheckExact(tt) || !PyBool_Check(sim) ||
            !PyBool_Check(virt))
            return false;
        int overflow = 0;
        const long long q = PyLong_AsLongLongAndOverflow(qty, &overflow);
        if (overflow || (q == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        const long t = PyLong_AsLongAndOverflow(tt, &overflow);
        if (overflow || t < -128 || t > 127) {
            PyErr_Clear();
            return false;
        }
        cols.dt.push_back(datetime_us(dt));
        if (cols.market_types.empty() || cols.market_types[last_mt].ptr() != mt)
            last_mt = intern_index(cols.market_types, mt);
        cols.market_type.push_back(last_mt);
        if (cols.codes.empty() || cols.codes[last_code].ptr() != code) last_code = intern_index(cols.codes, code);
        cols.code.push_back(last_code);
        cols.close.push_back(PyFloat_AS_DOUBLE(close));
        cols.qty.push_back(q);
        cols.tick_type.push_back(static_cast<std::int8_t>(t));
        cols.is_simulate.push_back(sim == Py_True);
        cols.is_virtual.push_back(virt == Py_True);
    }
    return true;
}

std::vector<std::uint32_t> stable_order(const std::vector<std::int64_t>& dt) {
    std::vector<std::uint32_t> idx;
    if (std::is_sorted(dt.begin(), dt.end())) return idx;
    struct Key {
        std::int64_t t;
        std::uint32_t i;
    };
    std::vector<Key> keys(dt.size());
    for (std::size_t i = 0; i < dt.size(); ++i) keys[i] = {dt[i], static_cast<std::uint32_t>(i)};
    std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.t < b.t; });
    idx.resize(dt.size());
    for (std::size_t i = 0; i < keys.size(); ++i) idx[i] = keys[i].i;
    return idx;
}

}  // namespace kob::quotes
