// QuoteManager: tick tables (pop and read-back) and K-bars with their cache.
#include <pybind11/numpy.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "../registry.hpp"
#include "bucket.hpp"
#include "quotes.hpp"

namespace kob {

namespace quotes {

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
            static PyObject* const keys[8] = {KOB_STR("dt"),        KOB_STR("market_type"), KOB_STR("code"),
                                              KOB_STR("close"),     KOB_STR("qty"),         KOB_STR("tick_type"),
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
                        PyErr_Clear();
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

}  // namespace quotes

namespace {

using namespace quotes;

// ---------------------------------------------------------------------------
// Tick tables.

// [(name, dtype), ...] of the tick table, dtypes read from `pl` now.
py::list tick_schema(py::handle pl) {
    py::list schema;
    const std::pair<PyObject*, PyObject*> cols[] = {
        {KOB_STR("dt"), KOB_STR("Datetime")},          {KOB_STR("market_type"), KOB_STR("Utf8")},
        {KOB_STR("code"), KOB_STR("Utf8")},            {KOB_STR("close"), KOB_STR("Float64")},
        {KOB_STR("qty"), KOB_STR("Int64")},            {KOB_STR("tick_type"), KOB_STR("Int8")},
        {KOB_STR("is_simulate"), KOB_STR("Boolean")},  {KOB_STR("is_virtual"), KOB_STR("Boolean")},
    };
    for (const auto& [name, dtype] : cols)
        schema.append(py::make_tuple(py::handle(name), attr(pl, dtype)));
    return schema;
}

py::object get_empty_tick_df_impl(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    return attr(pl, KOB_STR("DataFrame"))(py::list(), py::arg("schema") = tick_schema(pl));
}

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
                PyErr_Clear();
            }
        } else {
            PyErr_Clear();
        }
    }

    template <typename T>
    void numeric(PyObject* name, const py::array_t<T>& a, PyObject* ctor, PyObject* cast_to = nullptr) {
        if (internal_ && try_internal([&] {
                py::object s = attr(ps_, ctor)(py::handle(name), a, false);
                if (cast_to) s = attr(s, KOB_STR("cast"))(py::handle(cast_to), true, false);
                cols_.append(s);
            }))
            return;
        py::object s = attr(pl_, KOB_STR("Series"))(py::handle(name), a);
        if (cast_to) s = attr(s, KOB_STR("cast"))(py::handle(cast_to));
        public_.append(s);
    }

    void text_repeat(PyObject* name, PyObject* value, std::size_t n) {
        py::list one;
        one.append(py::handle(value));
        if (internal_ && try_internal([&] {
                py::object s = attr(ps_, KOB_STR("new_str"))(py::handle(name), one, false);
                cols_.append(attr(s, KOB_STR("new_from_index"))(0, n));
            }))
            return;
        py::object s = attr(pl_, KOB_STR("Series"))(py::handle(name), one, py::arg("dtype") = attr(pl_, KOB_STR("String")));
        public_.append(attr(s, KOB_STR("new_from_index"))(0, n));
    }

    // A text column of uniq[idx[order[i]]].
    void text(PyObject* name, const std::vector<py::object>& uniq, const std::vector<std::uint32_t>& idx,
              const std::vector<std::uint32_t>& order) {
        if (uniq.size() == 1) return text_repeat(name, uniq[0].ptr(), idx.size());
        py::list values;
        for (const py::object& u : uniq) values.append(u);
        py::object s = attr(pl_, KOB_STR("Series"))(py::handle(name), values, py::arg("dtype") = attr(pl_, KOB_STR("String")));
        s = attr(s, KOB_STR("gather"))(to_array(idx, order));
        if (internal_) {
            cols_.append(attr(s, KOB_STR("_s")));
            return;
        }
        public_.append(s);
    }

    py::object frame() {
        if (internal_ && !failed_) {
            py::object pydf = pd_(cols_);
            return attr(attr(pl_, KOB_STR("DataFrame")), KOB_STR("_from_pydf"))(pydf);
        }
        return attr(pl_, KOB_STR("DataFrame"))(public_);
    }

    py::object dtype(PyObject* name, const char* arg = nullptr) {
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
        } catch (py::error_already_set&) {
            // The low-level constructors changed: rebuild everything publicly.
            failed_ = true;
            internal_ = false;
            for (py::handle s : cols_)
                public_.append(attr(attr(pl_, KOB_STR("Series")), KOB_STR("_from_pyseries"))(s));
            return false;
        }
    }

    py::object pl_, ps_, pd_;
    bool internal_ = false, failed_ = false;
    py::list cols_, public_;
};

// The tick table of columns (rows taken in `order` unless it is empty).
py::object frame_from_columns(py::handle pl, const TickColumns& t, const std::vector<std::uint32_t>& order) {
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

// The tick table of records[start:]: the row-wise construction, cast to the
// schema and sorted by "dt" keeping ties in order.  Records of the usual
// shape are converted column by column to the same table.
py::object build_tick_frame(Call& c, py::handle records, Py_ssize_t start) {
    py::object pl = c.global(KOB_STR("pl"));
    if (PyList_CheckExact(records.ptr())) {
        TickColumns cols;
        if (gather_records(records.ptr(), start, PyList_GET_SIZE(records.ptr()), cols)) {
            std::vector<std::uint32_t> order = stable_order(cols.dt);
            return frame_from_columns(pl, cols, order);
        }
    }
    py::object rows = start == 0 ? py::reinterpret_borrow<py::object>(records)
                                 : steal(PySequence_GetSlice(records.ptr(), start, PY_SSIZE_T_MAX));
    // Every row is read with its column's dtype (an int close among float
    // ones is converted, a value that does not fit is refused); the other
    // columns are typed from all rows, not from the first hundred.
    py::list schema = tick_schema(pl);
    py::object overrides = steal(PyDict_New());
    for (py::handle pair : schema) check(PyDict_SetItem(overrides.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1)));
    py::object frame = call_kw(attr(pl, KOB_STR("DataFrame")), {rows},
                               {{KOB_STR("schema_overrides"), overrides}, {KOB_STR("infer_schema_length"), py::none()}});
    py::list exprs;
    py::object col = attr(pl, KOB_STR("col"));
    for (py::handle pair : schema) {
        py::tuple p = py::reinterpret_borrow<py::tuple>(pair);
        exprs.append(attr(col(p[0]), KOB_STR("cast"))(p[1]));
    }
    frame = attr(frame, KOB_STR("select"))(exprs);
    return attr(frame, KOB_STR("sort"))(py::handle(KOB_STR("dt")), py::arg("maintain_order") = true);
}


py::object poped_tick_to_df_impl(Call& c) {
    py::handle code = c[0];
    py::object ticks = attr(c.self, KOB_STR("ticks"));
    if (!contains(ticks, code)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object info = item(ticks, code);
    py::object pending = item(info, KOB_STR("ticks"));
    if (!truth(pending)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object old = item(info, KOB_STR("old_ticks"));
    extend(old, pending);
    set_item(info, py::handle(KOB_STR("ticks")), py::list());
    return build_tick_frame(c, pending, 0);
}

py::object poped_old_ticks_to_df_impl(Call& c) {
    py::handle code = c[0];
    py::object ticks = attr(c.self, KOB_STR("ticks"));
    if (!contains(ticks, code)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object old = item(item(ticks, code), KOB_STR("old_ticks"));
    if (!truth(old)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    return build_tick_frame(c, old, 0);
}

// ---------------------------------------------------------------------------
// K-bars.

py::object aggregate_kbar_impl(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    py::object col = attr(pl, KOB_STR("col"));
    py::list keys;
    keys.append(py::handle(KOB_STR("kbar_time")));
    keys.append(py::handle(KOB_STR("code")));
    py::object grouped = attr(c[0], KOB_STR("group_by"))(keys);
    auto agg = [&](PyObject* src, PyObject* fn, PyObject* alias) {
        py::object e = attr(col(py::handle(src)), fn)();
        return attr(e, KOB_STR("alias"))(py::handle(alias));
    };
    py::list exprs;
    exprs.append(agg(KOB_STR("close"), KOB_STR("first"), KOB_STR("Open")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("max"), KOB_STR("High")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("min"), KOB_STR("Low")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("last"), KOB_STR("Close")));
    exprs.append(agg(KOB_STR("qty"), KOB_STR("sum"), KOB_STR("Volume")));
    py::object result = attr(grouped, KOB_STR("agg"))(exprs);
    py::dict mapping;
    mapping[KOB_STR("kbar_time")] = py::handle(KOB_STR("dt"));
    return attr(result, KOB_STR("rename"))(mapping);
}

// Bookkeeping of every cached K-bar table this object wrote: how many of the
// code's popped ticks it has merged.  Keyed by the table's identity and
// dropped when the table dies (weak reference callback).
struct Bars {
    std::vector<std::int64_t> dt;
    std::vector<double> open, high, low, close;
    std::vector<std::int64_t> volume;
    std::size_t size() const { return dt.size(); }
    void push(std::int64_t t, double o, double h, double l, double c, std::int64_t v) {
        dt.push_back(t);
        open.push_back(o);
        high.push_back(h);
        low.push_back(l);
        close.push_back(c);
        volume.push_back(v);
    }
};

struct CacheMeta {
    PyObject* weak = nullptr;        // owned weak reference to the table
    const void* old_list = nullptr;  // identity of the "old_ticks" list it counts
    Py_ssize_t merged = 0;
    // Native copy of the table's rows (one code) when it was built here;
    // empty otherwise.
    bucket::Window window{bucket::Unit::Invalid, 0};
    Bars bars;
    PyObject* code = nullptr;  // owned
    int chunks = 0;            // appended pieces since the last rechunk
    ~CacheMeta() {
        Py_XDECREF(weak);
        Py_XDECREF(code);
    }
};

using MetaMap = std::unordered_map<PyObject*, std::shared_ptr<CacheMeta>>;
MetaMap& meta_map() {
    static MetaMap* const m = new MetaMap();  // never destroyed: holds Python references
    return *m;
}

PyObject* meta_dropped(PyObject*, PyObject* weak) {
    MetaMap& m = meta_map();
    for (auto it = m.begin(); it != m.end(); ++it) {
        if (it->second->weak == weak) {
            std::shared_ptr<CacheMeta> keep = std::move(it->second);
            m.erase(it);
            break;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef meta_dropped_def = {"_cache_dropped", meta_dropped, METH_O, nullptr};

PyObject* meta_callback() {
    static PyObject* const cb = check(PyCFunction_New(&meta_dropped_def, nullptr));  // kept for the process
    return cb;
}

std::shared_ptr<CacheMeta> find_meta(py::handle frame, py::handle old_list) {
    MetaMap& m = meta_map();
    auto it = m.find(frame.ptr());
    if (it == m.end()) return nullptr;
    std::shared_ptr<CacheMeta> meta = it->second;
    if (PyWeakref_GetObject(meta->weak) != frame.ptr() || meta->old_list != old_list.ptr()) return nullptr;
    return meta;
}

std::shared_ptr<CacheMeta> remember_meta(py::handle frame, py::handle old_list, Py_ssize_t merged) {
    PyObject* weak = PyWeakref_NewRef(frame.ptr(), meta_callback());
    if (!weak) {  // a table without weak references: nothing to remember
        PyErr_Clear();
        return nullptr;
    }
    auto meta = std::make_shared<CacheMeta>();
    meta->weak = weak;
    meta->old_list = old_list.ptr();
    meta->merged = merged;
    meta_map()[frame.ptr()] = meta;
    return meta;
}

// The record of a table built here, with the native bars it was built from.
void remember_bars(py::handle frame, py::handle old_list, Py_ssize_t merged, bucket::Window w, Bars&& bars,
                   PyObject* code, int chunks) {
    std::shared_ptr<CacheMeta> meta = remember_meta(frame, old_list, merged);
    if (!meta) return;
    meta->window = w;
    meta->bars = std::move(bars);
    meta->code = Py_NewRef(code);
    meta->chunks = chunks;
}

// The nested `return_fn`: a pandas frame when asked for.
py::object return_fn(Call& c, py::handle df) {
    if (truth(c[4])) return steal(PyObject_CallMethodNoArgs(df.ptr(), KOB_STR("to_pandas")));
    return py::reinterpret_borrow<py::object>(df);
}

// The extra expressions, then the frame as asked for.
py::object finish(Call& c, py::handle kbar_df) {
    if (truth(c[3])) return return_fn(c, attr(kbar_df, KOB_STR("with_columns"))(c[3]));
    return return_fn(c, kbar_df);
}

// The accepted units, in the order of the error message.
py::handle units_list() {
    static PyObject* const units = [] {
        py::list l;
        for (PyObject* u : {KOB_STR("m"), KOB_STR("h"), KOB_STR("d"), KOB_STR("w"), KOB_STR("mo"), KOB_STR("q"),
                            KOB_STR("y")})
            l.append(py::handle(u));
        return l.release().ptr();  // kept for the life of the process, never changed
    }();
    return units;
}

// f"{freq}{unit}", the window text of the exact pipeline.
py::object window_text(const Call& c) {
    return steal(PyUnicode_Concat(steal(PyObject_Format(c[2].ptr(), KOB_STR(""))).ptr(),
                                  steal(PyObject_Format(c[1].ptr(), KOB_STR(""))).ptr()));
}

// tick_df.with_columns of the "dt" cast and its bar time.
py::object with_bar_time(py::handle pl, py::handle tick_df, py::handle window) {
    py::object col = attr(pl, KOB_STR("col"));
    py::object dt_cast = attr(attr(col(py::handle(KOB_STR("dt"))), KOB_STR("cast"))(attr(pl, KOB_STR("Datetime"))),
                              KOB_STR("alias"))(py::handle(KOB_STR("dt")));
    py::object trunc = attr(attr(attr(col(py::handle(KOB_STR("dt"))), KOB_STR("dt")), KOB_STR("truncate"))(window),
                            KOB_STR("alias"))(py::handle(KOB_STR("kbar_time")));
    py::list exprs;
    exprs.append(dt_cast);
    exprs.append(trunc);
    return attr(tick_df, KOB_STR("with_columns"))(exprs);
}

// The Part's pipeline through the instance's methods.
py::object get_kbar_exact(Call& c, py::handle window) {
    py::handle code = c[0];
    py::object pl = c.global(KOB_STR("pl"));
    // Count of popped ticks before this call's pop (merge bookkeeping).
    Py_ssize_t before = -1;
    {
        py::object ticks = attr(c.self, KOB_STR("ticks"));
        if (PyDict_CheckExact(ticks.ptr())) {
            PyObject* info = PyDict_GetItemWithError(ticks.ptr(), code.ptr());
            if (!info && PyErr_Occurred()) throw py::error_already_set();
            if (info && PyDict_CheckExact(info)) {
                PyObject* old = PyDict_GetItemWithError(info, KOB_STR("old_ticks"));
                if (!old && PyErr_Occurred()) throw py::error_already_set();
                if (old && PyList_CheckExact(old)) before = PyList_GET_SIZE(old);
            }
        }
    }
    py::object tick_df = call_method(c.self, KOB_STR("poped_tick_to_df"), code);
    py::object cache_key = py::make_tuple(code, c[1], c[2]);
    py::object info = item(attr(c.self, KOB_STR("ticks")), code);
    py::object cached = item(info, KOB_STR("cached_kbars"));
    py::object kbar_df;
    if (!contains(cached, cache_key)) {
        tick_df = call_method(c.self, KOB_STR("poped_old_ticks_to_df"), code);
        tick_df = with_bar_time(pl, tick_df, window);
        kbar_df = call_method(c.self, KOB_STR("aggregate_kbar"), tick_df);
    } else {
        py::object entry = item(cached, cache_key);
        py::object old = item(info, KOB_STR("old_ticks"));
        if (before >= 0 && PyList_CheckExact(old.ptr())) {
            // Ticks popped by a request for another key since this entry
            // was written are merged too.
            std::shared_ptr<CacheMeta> meta = find_meta(entry, old);
            const Py_ssize_t now = PyList_GET_SIZE(old.ptr());
            if (meta && meta->merged != before && meta->merged <= now) {
                tick_df = meta->merged == now ? call_method(c.self, KOB_STR("get_empty_tick_df"))
                                              : build_tick_frame(c, old, meta->merged);
            }
        }
        tick_df = with_bar_time(pl, tick_df, window);
        if (truth(steal(PyObject_CallMethodNoArgs(tick_df.ptr(), KOB_STR("is_empty")))))
            return return_fn(c, item(item(item(attr(c.self, KOB_STR("ticks")), code), KOB_STR("cached_kbars")),
                                     cache_key));
        py::object col = attr(pl, KOB_STR("col"));
        py::object last_dt = attr(item(entry, KOB_STR("dt")), KOB_STR("max"))();
        py::object dt_col = col(py::handle(KOB_STR("dt")));
        py::object completed = attr(entry, KOB_STR("filter"))(steal(PyObject_RichCompare(dt_col.ptr(), last_dt.ptr(), Py_LT)));
        py::object last_kbar = attr(entry, KOB_STR("filter"))(steal(PyObject_RichCompare(dt_col.ptr(), last_dt.ptr(), Py_EQ)));
        py::object kt = steal(PyObject_RichCompare(col(py::handle(KOB_STR("kbar_time"))).ptr(), last_dt.ptr(), Py_GE));
        py::object ns = steal(PyObject_RichCompare(col(py::handle(KOB_STR("is_simulate"))).ptr(), Py_True, Py_NE));
        tick_df = attr(tick_df, KOB_STR("filter"))(steal(PyNumber_And(kt.ptr(), ns.ptr())));
        py::object new_last = call_method(c.self, KOB_STR("aggregate_kbar"), tick_df);
        py::object stacked = attr(last_kbar, KOB_STR("vstack"))(new_last);
        py::list keys;
        keys.append(py::handle(KOB_STR("dt")));
        keys.append(py::handle(KOB_STR("code")));
        py::list aggs;
        aggs.append(attr(col(py::handle(KOB_STR("Open"))), KOB_STR("first"))());
        aggs.append(attr(col(py::handle(KOB_STR("High"))), KOB_STR("max"))());
        aggs.append(attr(col(py::handle(KOB_STR("Low"))), KOB_STR("min"))());
        aggs.append(attr(col(py::handle(KOB_STR("Close"))), KOB_STR("last"))());
        aggs.append(attr(col(py::handle(KOB_STR("Volume"))), KOB_STR("sum"))());
        py::object last_kbars = attr(attr(stacked, KOB_STR("group_by"))(keys), KOB_STR("agg"))(aggs);
        kbar_df = attr(completed, KOB_STR("vstack"))(last_kbars);
    }
    if (truth(steal(PyObject_CallMethodNoArgs(kbar_df.ptr(), KOB_STR("is_empty"))))) return return_fn(c, kbar_df);
    py::list by;
    by.append(py::handle(KOB_STR("dt")));
    kbar_df = attr(kbar_df, KOB_STR("sort"))(by);
    py::object info2 = item(attr(c.self, KOB_STR("ticks")), code);
    set_item(item(info2, KOB_STR("cached_kbars")), cache_key, kbar_df);
    py::object old = item(info2, KOB_STR("old_ticks"));
    if (PyList_CheckExact(old.ptr())) remember_meta(kbar_df, old, PyList_GET_SIZE(old.ptr()));
    return finish(c, kbar_df);
}


// ---------------------------------------------------------------------------
// Native K-bars: used when none of the methods get_kbar calls through the
// instance is overridden and the records have the usual shape; the result
// equals the exact pipeline's.

bool method_is_ours(py::handle self, PyObject* name, Impl impl, PyObject* inst_dict) {
    PyObject* found = _PyType_Lookup(Py_TYPE(self.ptr()), name);
    if (!is_function_with(found, impl)) return false;
    if (inst_dict) {
        PyObject* v = PyDict_GetItemWithError(inst_dict, name);
        if (v) return false;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return true;
}

bool no_overrides(py::handle self) {
    if (Py_TYPE(self.ptr())->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* raw = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!raw) {  // no instance dictionary: take the exact pipeline
        PyErr_Clear();
        return false;
    }
    py::object d = steal(raw);
    PyObject* dict = PyDict_CheckExact(d.ptr()) ? d.ptr() : nullptr;
    if (!dict) return false;
    return method_is_ours(self, KOB_STR("poped_tick_to_df"), poped_tick_to_df_impl, dict) &&
           method_is_ours(self, KOB_STR("poped_old_ticks_to_df"), poped_old_ticks_to_df_impl, dict) &&
           method_is_ours(self, KOB_STR("get_empty_tick_df"), get_empty_tick_df_impl, dict) &&
           method_is_ours(self, KOB_STR("aggregate_kbar"), aggregate_kbar_impl, dict);
}

// K-bar table of bars[from:] (one code).
py::object bars_frame(py::handle pl, const Bars& bars, std::size_t from, PyObject* code) {
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

inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

// Aggregates rows (in `order`) with bar start >= floor into consecutive bars.
// `skip_simulated` leaves out "is_simulate" rows.
void aggregate_rows(const TickColumns& t, const std::vector<std::uint32_t>& order, bucket::Window w,
                    bool skip_simulated, std::int64_t floor, Bars& out) {
    const std::size_t n = t.size();
    bool open = false;
    std::int64_t cur = 0;
    double o = 0, h = 0, l = 0, cl = 0;
    std::int64_t v = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order.empty() ? k : order[k];
        if (skip_simulated && t.is_simulate[i]) continue;
        const std::int64_t b = bucket::truncate(t.dt[i], w);
        if (b < floor) continue;
        const double x = t.close[i];
        if (open && b == cur) {
            if (x > h) h = x;
            if (x < l) l = x;
            cl = x;
            v = wrapping_add(v, t.qty[i]);
            continue;
        }
        if (open) out.push(cur, o, h, l, cl, v);
        open = true;
        cur = b;
        o = h = l = cl = x;
        v = t.qty[i];
    }
    if (open) out.push(cur, o, h, l, cl, v);
}

// Reads old[start:] and pending into columns when every record has the usual
// shape, one code, no NaN price and a time in the natively bucketed range.
bool gather_for_bars(PyObject* old, Py_ssize_t start, PyObject* pending, TickColumns& cols) {
    if (!gather_records(old, start, PyList_GET_SIZE(old), cols)) return false;
    if (!gather_records(pending, 0, PyList_GET_SIZE(pending), cols)) return false;
    if (cols.codes.size() > 1) return false;
    for (std::size_t i = 0; i < cols.size(); ++i)
        if (std::isnan(cols.close[i]) || cols.dt[i] < bucket::kSafeLo || cols.dt[i] >= bucket::kSafeHi) return false;
    return true;
}

// Moves the pending records to old as the pop does and returns how many
// popped records old then holds.  The count is read before the store of the
// new pending list, which may run outside code.
Py_ssize_t move_pending(py::handle info, PyObject* old, PyObject* pending) {
    const Py_ssize_t n = PyList_GET_SIZE(old);
    if (PyList_GET_SIZE(pending) == 0) return n;
    check(PyList_SetSlice(old, n, n, pending));
    const Py_ssize_t moved = PyList_GET_SIZE(old);
    set_item(info, py::handle(KOB_STR("ticks")), py::list());
    return moved;
}

// d[key] as an owned reference, or a null object when missing; the
// dictionary is held during the lookup, which may run outside code.
py::object dict_get(py::handle d, PyObject* key) {
    py::object keep = py::reinterpret_borrow<py::object>(d);
    PyObject* v = PyDict_GetItemWithError(keep.ptr(), key);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v ? py::reinterpret_borrow<py::object>(v) : py::object();
}

// Looks `key` up among the keys of `d` without running Python code: true
// with `value` set (null when absent) if every key is an exact str, or
// (`tuples`) an exact tuple of exact str and int items; false otherwise.
bool plain_lookup(PyObject* d, PyObject* key, PyObject*& value, bool tuples = false) {
    value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (k == key) {
            value = v;
            continue;
        }
        if (!tuples) {
            if (!PyUnicode_CheckExact(k)) return false;
            if (PyUnicode_Compare(k, key) == 0) value = v;
            continue;
        }
        if (!PyTuple_CheckExact(k)) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(k);
        bool same = n == PyTuple_GET_SIZE(key);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* a = PyTuple_GET_ITEM(k, i);
            if (!PyUnicode_CheckExact(a) && !PyLong_CheckExact(a)) return false;
            if (!same) continue;
            PyObject* b = PyTuple_GET_ITEM(key, i);
            same = Py_IS_TYPE(a, Py_TYPE(b)) &&
                   (PyUnicode_CheckExact(a) ? PyUnicode_Compare(a, b) == 0 : PyObject_RichCompareBool(a, b, Py_EQ) == 1);
        }
        if (same) value = v;
    }
    return true;
}

// After the outside calls: the state is still the one read at the start
// (same ticks dict, record, lists, cache dict and entry), checked without
// running Python code.
bool still_current(py::handle self, py::handle code, py::handle ticks, py::handle info, py::handle pending,
                   py::handle old, py::handle cached, py::handle key, py::handle entry) {
    PyObject** dictptr = _PyObject_GetDictPtr(self.ptr());
    if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return false;
    PyObject* v;
    if (!plain_lookup(*dictptr, KOB_STR("ticks"), v) || v != ticks.ptr()) return false;
    if (!plain_lookup(ticks.ptr(), code.ptr(), v) || v != info.ptr()) return false;
    if (!plain_lookup(info.ptr(), KOB_STR("ticks"), v) || v != pending.ptr()) return false;
    if (!plain_lookup(info.ptr(), KOB_STR("old_ticks"), v) || v != old.ptr()) return false;
    if (!plain_lookup(info.ptr(), KOB_STR("cached_kbars"), v) || v != cached.ptr()) return false;
    return plain_lookup(cached.ptr(), key.ptr(), v, true) && v == entry.ptr();
}

// Returns a null object when the exact pipeline must run instead (nothing
// has been changed then).  Every call that may run outside code comes
// before the records are gathered, and the state they may have changed is
// checked again; from there to the move into "old_ticks" no Python code
// runs, so no tick can come or go in between.
py::object get_kbar_native(Call& c, bucket::Window w) {
    py::handle self = c.self;
    py::handle code = c[0];
    if (!no_overrides(self)) return {};
    py::object ticks = attr(self, KOB_STR("ticks"));
    if (!PyDict_CheckExact(ticks.ptr())) return {};
    py::object info = dict_get(ticks, code.ptr());
    if (!info || !PyDict_CheckExact(info.ptr())) return {};
    py::object pending = dict_get(info, KOB_STR("ticks"));
    py::object old = pending ? dict_get(info, KOB_STR("old_ticks")) : py::object();
    py::object cached = old ? dict_get(info, KOB_STR("cached_kbars")) : py::object();
    if (!cached || !PyList_CheckExact(pending.ptr()) || !PyList_CheckExact(old.ptr()) ||
        !PyDict_CheckExact(cached.ptr()))
        return {};
    py::object key = py::make_tuple(code, c[1], c[2]);
    py::object entry = dict_get(cached, key.ptr());
    py::object pl = c.global(KOB_STR("pl"));

    if (entry) {
        std::shared_ptr<CacheMeta> meta = find_meta(entry, old);
        // Nothing popped since the entry was written and nothing buffered:
        // the cached table as it is.
        if (PyList_GET_SIZE(pending.ptr()) == 0 && (!meta || meta->merged == PyList_GET_SIZE(old.ptr())))
            return return_fn(c, entry);
        if (!meta || meta->window.unit != w.unit || meta->window.every != w.every || meta->bars.size() == 0)
            return {};
        py::object height = attr(entry, KOB_STR("height"));
        if (PyLong_AsSsize_t(height.ptr()) != static_cast<Py_ssize_t>(meta->bars.size())) {
            PyErr_Clear();
            return {};
        }
        // Read again: the height and the lookups may have run outside code.
        if (!still_current(self, code, ticks, info, pending, old, cached, key, entry) ||
            find_meta(entry, old) != meta || meta->bars.size() == 0 || meta->merged > PyList_GET_SIZE(old.ptr()))
            return {};
        TickColumns cols;
        if (!gather_for_bars(old.ptr(), meta->merged, pending.ptr(), cols)) return {};
        if (!cols.codes.empty() && PyUnicode_Compare(cols.codes[0].ptr(), meta->code) != 0) return {};
        const Py_ssize_t merged_now = move_pending(info, old.ptr(), pending.ptr());
        std::vector<std::uint32_t> order = stable_order(cols.dt);
        Bars fresh;
        const std::int64_t last_dt = meta->bars.dt.back();
        aggregate_rows(cols, order, w, true, last_dt, fresh);
        if (fresh.size() == 0) {
            meta->merged = merged_now;
            return finish(c, entry);
        }
        Bars bars = std::move(meta->bars);  // leaves the record's copy empty
        std::size_t keep = bars.size();
        std::size_t from = 0;
        if (fresh.dt[0] == last_dt) {
            const std::size_t j = bars.size() - 1;
            if (fresh.high[0] > bars.high[j]) bars.high[j] = fresh.high[0];
            if (fresh.low[0] < bars.low[j]) bars.low[j] = fresh.low[0];
            bars.close[j] = fresh.close[0];
            bars.volume[j] = wrapping_add(bars.volume[j], fresh.volume[0]);
            keep = j;
            from = 1;
        }
        for (std::size_t i = from; i < fresh.size(); ++i)
            bars.push(fresh.dt[i], fresh.open[i], fresh.high[i], fresh.low[i], fresh.close[i], fresh.volume[i]);
        py::object head = attr(entry, KOB_STR("slice"))(0, keep);
        py::object kbar_df = attr(head, KOB_STR("vstack"))(bars_frame(pl, bars, keep, meta->code));
        int chunks = meta->chunks + 1;
        if (chunks > 16) {
            kbar_df = attr(kbar_df, KOB_STR("rechunk"))();
            chunks = 0;
        }
        set_item(cached, key, kbar_df);
        remember_bars(kbar_df, old, merged_now, w, std::move(bars), meta->code, chunks);
        return finish(c, kbar_df);
    }

    // First request for the key: every tick of the code.
    if (!still_current(self, code, ticks, info, pending, old, cached, key, py::handle())) return {};
    TickColumns cols;
    if (!gather_for_bars(old.ptr(), 0, pending.ptr(), cols) || cols.size() == 0) return {};
    const Py_ssize_t merged_now = move_pending(info, old.ptr(), pending.ptr());
    std::vector<std::uint32_t> order = stable_order(cols.dt);
    Bars bars;
    aggregate_rows(cols, order, w, false, INT64_MIN, bars);
    py::object kbar_df = bars_frame(pl, bars, 0, cols.codes[0].ptr());
    set_item(cached, key, kbar_df);
    remember_bars(kbar_df, old, merged_now, w, std::move(bars), cols.codes[0].ptr(), 0);
    return finish(c, kbar_df);
}

py::object get_kbar_impl(Call& c) {
    if (!contains(units_list(), c[1])) {
        PyErr_SetString(PyExc_TypeError, "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']");
        throw py::error_already_set();
    }
    // Formatting an exact str and an exact int runs no outside code, so the
    // window text is made only when the exact pipeline needs it; otherwise
    // it is made here, where that pipeline makes it.
    const bool plain = PyUnicode_CheckExact(c[1].ptr()) && PyLong_CheckExact(c[2].ptr());
    py::object window = plain ? py::object() : window_text(c);
    if (plain) {
        Py_ssize_t len = 0;
        const char* u = PyUnicode_AsUTF8AndSize(c[1].ptr(), &len);
        if (!u) throw py::error_already_set();
        int overflow = 0;
        const long long freq = PyLong_AsLongLongAndOverflow(c[2].ptr(), &overflow);
        if (freq == -1 && PyErr_Occurred()) throw py::error_already_set();
        const bucket::Unit unit = bucket::parse_unit(std::string_view(u, static_cast<std::size_t>(len)));
        if (!overflow && unit != bucket::Unit::Invalid && freq >= 1 && freq <= bucket::kMaxFreq) {
            py::object r = get_kbar_native(c, bucket::Window{unit, freq});
            if (r) return r;
        }
    }
    return get_kbar_exact(c, window ? window : window_text(c));
}

}  // namespace

const MethodSpec qm_get_empty_tick_df = {
    .name = "get_empty_tick_df",
    .impl = get_empty_tick_df_impl,
    .doc = "取得空的 Tick DataFrame",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_aggregate_kbar = {
    .name = "aggregate_kbar",
    .params = {
        {"tick_df", Kind::Any, "pl.DataFrame"},
    },
    .impl = aggregate_kbar_impl,
    .doc = "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)\n\n        Args:\n            tick_df (pl.DataFrame): Tick 資料，必須包含 kbar_time 欄\n\n        Returns:\n            pl.DataFrame: 聚合後的 K 棒資料\n        ",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_poped_tick_to_df = {
    .name = "poped_tick_to_df",
    .params = {
        {"code", Kind::Str, "str"},
    },
    .impl = poped_tick_to_df_impl,
    .doc = "將 ticks 中的資料轉換為 DataFrame 並清空 ticks\n\n        Args:\n            code (str): 商品代號\n\n        Returns:\n            pl.DataFrame: 轉換後的 DataFrame\n        ",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_poped_old_ticks_to_df = {
    .name = "poped_old_ticks_to_df",
    .params = {
        {"code", Kind::Str, "str"},
    },
    .impl = poped_old_ticks_to_df_impl,
    .doc = "將 old_ticks 中的資料轉為 DataFrame\n        \n        Args:\n            code (str): 商品代號\n        \n        Returns:\n            pl.DataFrame: 轉換後的 DataFrame\n        ",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_get_kbar = {
    .name = "get_kbar",
    .params = {
        {"code", Kind::Str, "str"},
        {"unit", Kind::Any, "Literal['m', 'h', 'd', 'w', 'mo', 'q', 'y']"},
        {"freq", Kind::Int, "int"},
        {"exprs", Kind::List, "List[pl.Expr]", Def::EmptyList},
        {"to_pandas_df", Kind::Any, "bool", Def::False},
    },
    .impl = get_kbar_impl,
    .doc = "取得 K 線資料\n\n        Args:\n            code (str): 商品代號\n            unit (Literal[\"m\", \"h\", \"d\", \"w\", \"mo\", \"q\", \"y\"]): K 線頻率單位\n            freq (int): K 線頻率\n            exprs (List[pl.Expr]): 給予使用者自定義的運算式\n            to_pandas_df (bool): 是否轉換為 pandas DataFrame\n\n        Returns:\n            pl.DataFrame: K 線資料\n        ",
    .returns = "pl.DataFrame",
};

}  // namespace kob
