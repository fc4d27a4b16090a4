// Internal helpers shared by the source files of the row-wise quote store
// (QuoteManager).
#pragma once

#include "../common.hpp"  // Python.h first
#include "../domain.hpp"

#include <cstdint>
#include <vector>

#include "../kernels/tick_record.hpp"

namespace kob {

// QuoteManager's methods (defined in this folder).
extern const MethodSpec qm_init;
extern const MethodSpec qm_get_init_ticks_info;
extern const MethodSpec qm_get_empty_tick_df;
extern const MethodSpec qm_clear_ticks;
extern const MethodSpec qm_add_tick;
extern const MethodSpec qm_aggregate_kbar;
extern const MethodSpec qm_poped_tick_to_df;
extern const MethodSpec qm_poped_old_ticks_to_df;
extern const MethodSpec qm_get_kbar;

}  // namespace kob

namespace kob::quotes {

// The record helpers both stores share.
using kernels::datetime_us;
using kernels::ensure_datetime_api;
using kernels::is_naive_datetime;
using kernels::is_naive_time;
using kernels::make_datetime;
using kernels::tick_schema;
using kernels::time_us;

// Column buffers of a run of stored tick records.
struct TickColumns {
    std::vector<std::int64_t> dt;
    std::vector<std::uint32_t> market_type, code;  // indexes into the unique lists
    std::vector<double> close;
    std::vector<std::int64_t> qty;
    std::vector<std::int8_t> tick_type;
    std::vector<std::uint8_t> is_simulate, is_virtual;
    std::vector<py::object> market_types, codes;  // unique texts (owned: records may go away)
    void reserve(std::size_t n);
    std::size_t size() const { return dt.size(); }
};

// Reads records[start:end] of an exact list into columns.  False when a
// record is not of the usual shape (exact dict of the eight keys holding the
// usual exact types); the caller then takes the row-wise path.  Runs no
// Python code: nothing can change the list while it reads.
bool gather_records(PyObject* records, Py_ssize_t start, Py_ssize_t end, TickColumns& cols);

// Stable order of the rows by "dt" (empty when already sorted).
std::vector<std::uint32_t> stable_order(const std::vector<std::int64_t>& dt);

// The tick table of records[start:], as the pop builds it.
py::object tick_table(const Call& c, py::handle records, Py_ssize_t start);

}  // namespace kob::quotes
