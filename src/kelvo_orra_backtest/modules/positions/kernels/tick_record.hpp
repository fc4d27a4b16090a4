// The stored tick record as both quote stores hand it to the interpreter:
// its times as naive date-times through the datetime C API, and the fixed
// column types of the tick table.
#pragma once

#include "../common.hpp"  // Python.h first

#include <datetime.h>

#include <cstdint>

#include "calendar.hpp"

namespace kob::kernels {

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

// [(name, dtype), ...] of the tick table, dtypes read from `pl` now.
py::list tick_schema(py::handle pl);

}  // namespace kob::kernels
