#include "frames.hpp"

#include <pybind11/numpy.h>

#include <algorithm>

namespace kob::quotes {

namespace {

template <typename T>
py::array_t<T> to_array(const std::vector<T>& v, const std::vector<std::uint32_t>& order, std::size_t from = 0) {
    const std::size_t n = order.empty() ? v.size() - from : order.size();
    py::array_t<T> a(static_cast<py::ssize_t>(n));
    T* out = a.mutable_data();
    if (order.empty())
        std::copy(v.begin() + static_cast<std::ptrdiff_t>(from), v.end(), out);
    else
        for (std::size_t i = 0; i < order.size(); ++i) out[i] = v[order[i]];
    return a;
}

// Builds a frame column by column from typed buffers.  It uses the library's
// low-level series constructors when they are there (no per-call Python
// overhead of the public constructors) and the public `Series` and
// `DataFrame` otherwise; both give the same table.
class FrameBuilder {
public:
    explicit FrameBuilder(py::handle pl) : pl_(py::reinterpret_borrow<py::object>(pl)) {
        check_signals();
        PyObject* plr = PyObject_GetAttrString(pl.ptr(), "_plr");
        if (plr) {
            py::object mod = steal(plr);
            PyObject* ps = PyObject_GetAttrString(mod.ptr(), "PySeries");
            PyObject* pd = ps ? PyObject_GetAttrString(mod.ptr(), "PyDataFrame") : nullptr;
            if (ps && pd) {
                ps_ = steal(ps);
                pd_ = steal(pd);
                internal_ = true;
            } else {
                Py_XDECREF(ps);
                clear_attribute_error();
            }
        } else {
            clear_attribute_error();
        }
    }

    template <typename T>
    void numeric(PyObject* name, const py::array_t<T>& a, PyObject* ctor, PyObject* cast_to = nullptr) {
        check_signals();
        if (internal_ && try_internal([&] {
                py::object s = attr(ps_, ctor)(py::handle(name), a, false);
                if (cast_to) {
                    check_signals();  // the cast runs the dtype's Python code
                    s = attr(s, KOB_STR("cast"))(py::handle(cast_to), true, false);
                }
                cols_.append(s);
            }))
            return;
        py::object s = attr(pl_, KOB_STR("Series"))(py::handle(name), a);
        if (cast_to) s = attr(s, KOB_STR("cast"))(py::handle(cast_to));
        public_.append(s);
    }

    void text_repeat(PyObject* name, PyObject* value, std::size_t n) {
        check_signals();
        py::list one;
        one.append(py::handle(value));
        if (internal_ && try_internal([&] {
                py::object s = attr(ps_, KOB_STR("new_str"))(py::handle(name), one, false);
                cols_.append(attr(s, KOB_STR("new_from_index"))(0, n));
            }))
            return;
        py::object s =
            attr(pl_, KOB_STR("Series"))(py::handle(name), one, py::arg("dtype") = attr(pl_, KOB_STR("String")));
        public_.append(attr(s, KOB_STR("new_from_index"))(0, n));
    }

    // A text column of uniq[idx[order[i]]].
    void text(PyObject* name, const std::vector<py::object>& uniq, const std::vector<std::uint32_t>& idx,
              const std::vector<std::uint32_t>& order) {
        if (uniq.size() == 1) return text_repeat(name, uniq[0].ptr(), idx.size());
        check_signals();
        py::list values;
        for (const py::object& u : uniq) values.append(u);
        py::object s =
            attr(pl_, KOB_STR("Series"))(py::handle(name), values, py::arg("dtype") = attr(pl_, KOB_STR("String")));
        s = attr(s, KOB_STR("gather"))(to_array(idx, order));
        if (internal_) {
            cols_.append(attr(s, KOB_STR("_s")));
            return;
        }
        public_.append(s);
    }

    py::object frame() {
        check_signals();
        if (internal_ && !failed_) {
            py::object pydf = pd_(cols_);
            return attr(attr(pl_, KOB_STR("DataFrame")), KOB_STR("_from_pydf"))(pydf);
        }
        return attr(pl_, KOB_STR("DataFrame"))(public_);
    }

    py::object dtype(PyObject* name, const char* arg = nullptr) {
        check_signals();
        py::object t = attr(pl_, name);
        return arg ? t(arg) : t;
    }

private:
    template <typename F>
    bool try_internal(F&& f) {
        if (failed_) return false;
        try {
            f();
            return true;
        } catch (py::error_already_set& e) {
            if (!constructor_unavailable(e)) throw;
            // The low-level constructors changed: rebuild everything publicly.
            failed_ = true;
            internal_ = false;
            for (py::handle s : cols_) public_.append(attr(attr(pl_, KOB_STR("Series")), KOB_STR("_from_pyseries"))(s));
            return false;
        }
    }

    py::object pl_, ps_, pd_;
    bool internal_ = false, failed_ = false;
    py::list cols_, public_;
};

}  // namespace

py::object tick_frame(py::handle pl, const TickColumns& t, const std::vector<std::uint32_t>& order) {
    FrameBuilder b(pl);
    py::object dt_type = b.dtype(KOB_STR("Datetime"), "us");
    py::object boolean = b.dtype(KOB_STR("Boolean"));
    b.numeric(KOB_STR("dt"), to_array(t.dt, order), KOB_STR("new_i64"), dt_type.ptr());
    b.text(KOB_STR("market_type"), t.market_types, t.market_type, order);
    b.text(KOB_STR("code"), t.codes, t.code, order);
    b.numeric(KOB_STR("close"), to_array(t.close, order), KOB_STR("new_f64"));
    b.numeric(KOB_STR("qty"), to_array(t.qty, order), KOB_STR("new_i64"));
    b.numeric(KOB_STR("tick_type"), to_array(t.tick_type, order), KOB_STR("new_i8"));
    b.numeric(KOB_STR("is_simulate"), to_array(t.is_simulate, order), KOB_STR("new_u8"), boolean.ptr());
    b.numeric(KOB_STR("is_virtual"), to_array(t.is_virtual, order), KOB_STR("new_u8"), boolean.ptr());
    return b.frame();
}

py::object bars_frame(py::handle pl, const bars::Bars& bars, std::size_t from, PyObject* code) {
    FrameBuilder b(pl);
    const std::vector<std::uint32_t> none;
    py::object dt_type = b.dtype(KOB_STR("Datetime"), "us");
    b.numeric(KOB_STR("dt"), to_array(bars.dt, none, from), KOB_STR("new_i64"), dt_type.ptr());
    b.text_repeat(KOB_STR("code"), code, bars.size() - from);
    b.numeric(KOB_STR("Open"), to_array(bars.open, none, from), KOB_STR("new_f64"));
    b.numeric(KOB_STR("High"), to_array(bars.high, none, from), KOB_STR("new_f64"));
    b.numeric(KOB_STR("Low"), to_array(bars.low, none, from), KOB_STR("new_f64"));
    b.numeric(KOB_STR("Close"), to_array(bars.close, none, from), KOB_STR("new_f64"));
    b.numeric(KOB_STR("Volume"), to_array(bars.volume, none, from), KOB_STR("new_i64"));
    return b.frame();
}

}  // namespace kob::quotes
