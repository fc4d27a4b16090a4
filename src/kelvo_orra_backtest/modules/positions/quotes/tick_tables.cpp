// QuoteManager's tick tables: the empty table, the pop of the ticks
// received since the last pop, and the read-back of every popped tick.
#include "quotes.hpp"
#include "../kernels/signatures.hpp"
#include "frames.hpp"

namespace kob {

namespace quotes {

// Twin of tick_table_exact (proved equal by
// tests/test_quotes_store.py::test_pop_edited_records_use_row_wise_table and
// tests/test_quotes_kbar.py::test_native_equals_exact): column by column when
// every record has the usual shape; a null object otherwise.
py::object tick_table_fast(py::handle pl, py::handle records, Py_ssize_t start) {
    if (!PyList_CheckExact(records.ptr())) return {};
    TickColumns cols;
    if (!gather_records(records.ptr(), start, PyList_GET_SIZE(records.ptr()), cols)) return {};
    return tick_frame(pl, cols, stable_order(cols.dt));
}

// Twin of tick_table_fast: the row-wise construction, cast to the schema and
// sorted by "dt" keeping ties in order.
py::object tick_table_exact(py::handle pl, py::handle records, Py_ssize_t start) {
    py::object rows = start == 0 ? py::reinterpret_borrow<py::object>(records)
                                 : steal(PySequence_GetSlice(records.ptr(), start, PY_SSIZE_T_MAX));
    // Every row is read with its column's dtype (an int close among float
    // ones is converted, a value that does not fit is refused); the other
    // columns are typed from all rows, not from the first hundred.
    py::list schema = tick_schema(pl);
    py::dict overrides;
    for (py::handle pair : schema) overrides[pair[py::int_(0)]] = pair[py::int_(1)];
    py::object frame =
        call_kw(attr(pl, KOB_STR("DataFrame")), {rows},
                {{KOB_STR("schema_overrides"), overrides}, {KOB_STR("infer_schema_length"), py::none()}});
    py::list exprs;
    py::object col = attr(pl, KOB_STR("col"));
    for (py::handle pair : schema) exprs.append(attr(col(pair[py::int_(0)]), KOB_STR("cast"))(pair[py::int_(1)]));
    frame = attr(frame, KOB_STR("select"))(exprs);
    return attr(frame, KOB_STR("sort"))(py::handle(KOB_STR("dt")), py::arg("maintain_order") = true);
}

py::object tick_table(const Call& c, py::handle records, Py_ssize_t start) {
    py::object pl = c.global(KOB_STR("pl"));
    py::object fast = tick_table_fast(pl, records, start);
    return fast ? fast : tick_table_exact(pl, records, start);
}

}  // namespace quotes

namespace {

using namespace quotes;

py::object get_empty_tick_df_impl(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    return attr(pl, KOB_STR("DataFrame"))(py::list(), py::arg("schema") = tick_schema(pl));
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
    return tick_table(c, pending, 0);
}

py::object poped_old_ticks_to_df_impl(Call& c) {
    py::handle code = c[0];
    py::object ticks = attr(c.self, KOB_STR("ticks"));
    if (!contains(ticks, code)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    py::object old = item(item(ticks, code), KOB_STR("old_ticks"));
    if (!truth(old)) return call_method(c.self, KOB_STR("get_empty_tick_df"));
    return tick_table(c, old, 0);
}

}  // namespace

const MethodSpec qm_get_empty_tick_df = kernels::signatures::get_empty_tick_df(get_empty_tick_df_impl);

const MethodSpec qm_poped_tick_to_df = kernels::signatures::poped_tick_to_df(poped_tick_to_df_impl);

const MethodSpec qm_poped_old_ticks_to_df = kernels::signatures::poped_old_ticks_to_df(poped_old_ticks_to_df_impl);

}  // namespace kob
