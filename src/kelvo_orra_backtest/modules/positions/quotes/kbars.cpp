// QuoteManager: tick tables (pop and read-back) and K-bars with their cache.
#include <pybind11/numpy.h>

#include <algorithm>
#include <memory>
#include <numeric>
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
std::uint32_t intern_index(std::vector<PyObject*>& uniq, PyObject* s) {
    for (std::size_t i = 0; i < uniq.size(); ++i)
        if (uniq[i] == s) return static_cast<std::uint32_t>(i);
    for (std::size_t i = 0; i < uniq.size(); ++i)
        if (PyUnicode_Compare(uniq[i], s) == 0) return static_cast<std::uint32_t>(i);
    uniq.push_back(s);
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
        PyObject* dt = PyDict_GetItem(r, KOB_STR("dt"));
        PyObject* mt = PyDict_GetItem(r, KOB_STR("market_type"));
        PyObject* code = PyDict_GetItem(r, KOB_STR("code"));
        PyObject* close = PyDict_GetItem(r, KOB_STR("close"));
        PyObject* qty = PyDict_GetItem(r, KOB_STR("qty"));
        PyObject* tt = PyDict_GetItem(r, KOB_STR("tick_type"));
        PyObject* sim = PyDict_GetItem(r, KOB_STR("is_simulate"));
        PyObject* virt = PyDict_GetItem(r, KOB_STR("is_virtual"));
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
        if (cols.market_types.empty() || cols.market_types[last_mt] != mt)
            last_mt = intern_index(cols.market_types, mt);
        cols.market_type.push_back(last_mt);
        if (cols.codes.empty() || cols.codes[last_code] != code) last_code = intern_index(cols.codes, code);
        cols.code.push_back(last_code);
        cols.close.push_back(PyFloat_AS_DOUBLE(close));
        cols.qty.push_back(q);
        cols.tick_type.push_back(static_cast<std::int8_t>(t));
        cols.is_simulate.push_back(sim == Py_True);
        cols.is_virtual.push_back(virt == Py_True);
    }
    return true;
}

std::vector<std::uint32_t> stable_order(const std::vector<std::int64_t>& dt, bool& sorted) {
    sorted = std::is_sorted(dt.begin(), dt.end());
    std::vector<std::uint32_t> idx;
    if (sorted) return idx;
    idx.resize(dt.size());
    std::iota(idx.begin(), idx.end(), 0u);
    std::stable_sort(idx.begin(), idx.end(), [&](std::uint32_t a, std::uint32_t b) { return dt[a] < dt[b]; });
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
py::array_t<T> to_array(const std::vector<T>& v, const std::vector<std::uint32_t>& order) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    T* out = a.mutable_data();
    if (order.empty())
        std::copy(v.begin(), v.end(), out);
    else
        for (std::size_t i = 0; i < order.size(); ++i) out[i] = v[order[i]];
    return a;
}

// A text column from unique texts and per-row indexes.
py::object text_series(py::handle pl, PyObject* name, const std::vector<PyObject*>& uniq,
                       const std::vector<std::uint32_t>& idx, const std::vector<std::uint32_t>& order) {
    py::list values;
    for (PyObject* s : uniq) values.append(py::handle(s));
    py::object series = attr(pl, KOB_STR("Series"))(py::handle(name), values, py::arg("dtype") = attr(pl, KOB_STR("String")));
    if (uniq.size() == 1)
        return attr(series, KOB_STR("new_from_index"))(0, idx.size());
    return attr(series, KOB_STR("gather"))(to_array(idx, order));
}

// The tick table of columns (already in row order when `order` is empty).
py::object frame_from_columns(py::handle pl, const TickColumns& t, const std::vector<std::uint32_t>& order) {
    py::object Series = attr(pl, KOB_STR("Series"));
    py::object dt = attr(Series(py::handle(KOB_STR("dt")), to_array(t.dt, order)), KOB_STR("cast"))(
        attr(pl, KOB_STR("Datetime"))("us"));
    py::list cols;
    cols.append(dt);
    cols.append(text_series(pl, KOB_STR("market_type"), t.market_types, t.market_type, order));
    cols.append(text_series(pl, KOB_STR("code"), t.codes, t.code, order));
    cols.append(Series(py::handle(KOB_STR("close")), to_array(t.close, order)));
    cols.append(Series(py::handle(KOB_STR("qty")), to_array(t.qty, order)));
    cols.append(Series(py::handle(KOB_STR("tick_type")), to_array(t.tick_type, order)));
    py::object Boolean = attr(pl, KOB_STR("Boolean"));
    cols.append(attr(Series(py::handle(KOB_STR("is_simulate")), to_array(t.is_simulate, order)), KOB_STR("cast"))(Boolean));
    cols.append(attr(Series(py::handle(KOB_STR("is_virtual")), to_array(t.is_virtual, order)), KOB_STR("cast"))(Boolean));
    return attr(pl, KOB_STR("DataFrame"))(cols);
}

// The tick table of records[start:]: the row-wise construction, cast to the
// schema and sorted by "dt" keeping ties in order.  Records of the usual
// shape are converted column by column to the same table.
py::object build_tick_frame(Call& c, py::handle records, Py_ssize_t start) {
    py::object pl = c.global(KOB_STR("pl"));
    if (PyList_CheckExact(records.ptr())) {
        TickColumns cols;
        if (gather_records(records.ptr(), start, PyList_GET_SIZE(records.ptr()), cols)) {
            bool sorted = false;
            std::vector<std::uint32_t> order = stable_order(cols.dt, sorted);
            return frame_from_columns(pl, cols, order);
        }
    }
    py::object rows = start == 0 ? py::reinterpret_borrow<py::object>(records)
                                 : steal(PySequence_GetSlice(records.ptr(), start, PY_SSIZE_T_MAX));
    py::object frame = attr(pl, KOB_STR("DataFrame"))(rows);
    py::list exprs;
    py::object col = attr(pl, KOB_STR("col"));
    for (py::handle pair : tick_schema(pl)) {
        py::tuple p = py::reinterpret_borrow<py::tuple>(pair);
        exprs.append(attr(col(p[0]), KOB_STR("cast"))(p[1]));
    }
    frame = attr(frame, KOB_STR("select"))(exprs);
    return attr(frame, KOB_STR("sort"))(py::handle(KOB_STR("dt")), py::arg("maintain_order") = true);
}


bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    check(r);
    return r != 0;
}

bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    check(r);
    return r != 0;
}

py::object poped_tick_to_df_impl(Call& c) {
    py::handle code = c[0];
    py::object ticks = attr(c.self, KOB_STR("ticks"));
    if (!contains(ticks, code)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object info = item(ticks, code);
    py::object pending = item(info, KOB_STR("ticks"));
    if (!truthy(pending)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object old = item(info, KOB_STR("old_ticks"));
    if (PyList_CheckExact(old.ptr()) && PyList_CheckExact(pending.ptr())) {
        const Py_ssize_t n = PyList_GET_SIZE(old.ptr());
        check(PyList_SetSlice(old.ptr(), n, n, pending.ptr()));
    } else {
        steal(PyObject_CallMethodOneArg(old.ptr(), KOB_STR("extend"), pending.ptr()));
    }
    set_item(info, py::handle(KOB_STR("ticks")), py::list());
    return build_tick_frame(c, pending, 0);
}

py::object poped_old_ticks_to_df_impl(Call& c) {
    py::handle code = c[0];
    py::object ticks = attr(c.self, KOB_STR("ticks"));
    if (!contains(ticks, code)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object old = item(item(ticks, code), KOB_STR("old_ticks"));
    if (!truthy(old)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
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
struct CacheMeta {
    PyObject* weak = nullptr;      // owned weak reference to the table
    const void* old_list = nullptr;  // identity of the "old_ticks" list it counts
    Py_ssize_t merged = 0;
    ~CacheMeta() { Py_XDECREF(weak); }
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

void remember_meta(py::handle frame, py::handle old_list, Py_ssize_t merged) {
    PyObject* weak = PyWeakref_NewRef(frame.ptr(), meta_callback());
    if (!weak) {  // a table without weak references: nothing to remember
        PyErr_Clear();
        return;
    }
    auto meta = std::make_shared<CacheMeta>();
    meta->weak = weak;
    meta->old_list = old_list.ptr();
    meta->merged = merged;
    meta_map()[frame.ptr()] = std::move(meta);
}

// The nested `return_fn`: a pandas frame when asked for.
py::object return_fn(Call& c, py::handle df) {
    if (truthy(c[4])) return steal(PyObject_CallMethodNoArgs(df.ptr(), KOB_STR("to_pandas")));
    return py::reinterpret_borrow<py::object>(df);
}

py::object units_list() {
    py::list units;
    for (PyObject* u : {KOB_STR("m"), KOB_STR("h"), KOB_STR("d"), KOB_STR("w"), KOB_STR("mo"), KOB_STR("q"),
                        KOB_STR("y")})
        units.append(py::handle(u));
    return units;
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
        if (truthy(steal(PyObject_CallMethodNoArgs(tick_df.ptr(), KOB_STR("is_empty")))))
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
    if (truthy(steal(PyObject_CallMethodNoArgs(kbar_df.ptr(), KOB_STR("is_empty"))))) return return_fn(c, kbar_df);
    py::list by;
    by.append(py::handle(KOB_STR("dt")));
    kbar_df = attr(kbar_df, KOB_STR("sort"))(by);
    py::object info2 = item(attr(c.self, KOB_STR("ticks")), code);
    set_item(item(info2, KOB_STR("cached_kbars")), cache_key, kbar_df);
    py::object old = item(info2, KOB_STR("old_ticks"));
    if (PyList_CheckExact(old.ptr())) remember_meta(kbar_df, old, PyList_GET_SIZE(old.ptr()));
    if (truthy(c[3])) kbar_df = attr(kbar_df, KOB_STR("with_columns"))(c[3]);
    return return_fn(c, kbar_df);
}

py::object get_kbar_impl(Call& c) {
    py::object units = units_list();
    if (!contains(units, c[1])) {
        PyErr_SetString(PyExc_TypeError, "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']");
        throw py::error_already_set();
    }
    py::object empty = steal(PyUnicode_FromString(""));
    py::object window = steal(PyUnicode_Concat(steal(PyObject_Format(c[2].ptr(), empty.ptr())).ptr(),
                                               steal(PyObject_Format(c[1].ptr(), empty.ptr())).ptr()));
    return get_kbar_exact(c, window);
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
