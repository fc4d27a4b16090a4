// Polars frames of the row-wise store from native column buffers: the tick
// table of gathered records and the K-bar table of native bars.  They use the
// library's low-level series constructors, with the public constructors
// beside them giving the same tables (the columnar store builds its frames
// from its own chunks, columnar/parts.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "../kernels/bars.hpp"
#include "quotes.hpp"

namespace kob::quotes {

// The tick table of `t` (rows taken in `order` unless it is empty).
py::object tick_frame(py::handle pl, const TickColumns& t, const std::vector<std::uint32_t>& order);

// The K-bar table of bars[from:] of one code.
py::object bars_frame(py::handle pl, const bars::Bars& bars, std::size_t from, PyObject* code);

}  // namespace kob::quotes
