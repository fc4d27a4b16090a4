// Internal helpers shared by the quote store's source files.
#pragma once

#include "../common.hpp"  // Python.h first
#include "../domain.hpp"

#include <datetime.h>

#include <cstdint>
#include <vector>

#include "calendar.hpp"

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

// The datetime C API, loaded on first use in every translation unit.
inline void ensure_datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
}

inline bool is_naive_datetime(PyObject* o) {
    return Py_IS_TYPE(o, PyDateTimeAPI->DateTimeType) && PyDateTime_DATE_GET_TZINFO(o) == Py_None;
}

inline bool is_naive_time(PyObject* o) {
    return Py_IS_TYPE(o, PyDateTimeAPI->TimeType) && PyDateTime_TIME_GET_TZINFO(o) == Py_None;
}

inline std::int64_t datetime_us(PyObject* o) {
    return cal::to_us({PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o),
                       PyDateTime_DATE_GET_HOUR(o), PyDateTime_DATE_GET_MINUTE(o), PyDateTime_DATE_GET_SECOND(o),
                       PyDateTime_DATE_GET_MICROSECOND(o)});
}

inline std::int64_t time_us(PyObject* o) {
    return ((PyDateTime_TIME_GET_HOUR(o) * 60 + PyDateTime_TIME_GET_MINUTE(o)) * 60 + PyDateTime_TIME_GET_SECOND(o)) *
               cal::kUsPerSec +
           PyDateTime_TIME_GET_MICROSECOND(o);
}

inline py::object make_datetime(std::int64_t us, int fold = 0) {
    const cal::Fields f = cal::from_us(us);
    return steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(static_cast<int>(f.year), f.month, f.day, f.hour,
                                                                f.minute, f.second, f.us, Py_None, fold,
                                                                PyDateTimeAPI->DateTimeType));
}

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
