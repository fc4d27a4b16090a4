// Polars frames from native column buffers: the tick table of gathered
// records and the K-bar table of native bars.  The only place that uses the
// library's low-level series constructors; the public constructors stand
// beside them and give the same tables.
#pragma once

#include <cstdint>
#include <vector>

#include "bars.hpp"
#include "quotes.hpp"

namespace kob::quotes {

// [(name, dtype), ...] of the tick table, dtypes read from `pl` now.
py::list tick_schema(py::handle pl);

// The tick table of `t` (rows taken in `order` unless it is empty).
py::object tick_frame(py::handle pl, const TickColumns& t, const std::vector<std::uint32_t>& order);

// The K-bar table of bars[from:] of one code.
py::object bars_frame(py::handle pl, const bars::Bars& bars, std::size_t from, PyObject* code);

}  // namespace kob::quotes
