// Plain arithmetic of the position views, with no Python in it.
//
// The values are the ones the interpreter would compute for exact floats and
// ints: a float times an int converts the int to a double first, which is
// exact while the int's magnitude is at most 2**53.  The expressions are kept
// in the order of the host arithmetic, one rounding per operation.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>

namespace kob::views {

// Largest magnitude of an int that converts to a double without rounding.
inline constexpr std::int64_t kExactIntLimit = std::int64_t{1} << 53;

inline bool exact_in_double(std::int64_t v) { return v >= -kExactIntLimit && v <= kExactIntLimit; }

// Unrealised profit of one open entry: (diff * quantity) * unit, where diff is
// close - price for a long entry and -(close - price) for a short one.
inline double entry_pnl(double close, double price, std::int64_t quantity, std::int64_t unit, bool short_side) {
    double diff = close - price;
    if (short_side) diff = -diff;
    const double per_unit = diff * static_cast<double>(quantity);
    return per_unit * static_cast<double>(unit);
}

// A running sum that starts as the int 0: the first float added to it gives
// 0.0 + x (so -0.0 becomes 0.0), later ones add as doubles.
struct DoubleSum {
    double value = 0.0;
    bool touched = false;

    void add(double x) {
        value = (touched ? value : 0.0) + x;
        touched = true;
    }
};

// The interpreter's round(x, 2) for a float: the value rounded to two decimal
// places on its exact binary value (ties to even), then read back as the
// nearest double; infinities and nan round to themselves.
inline double round_2(double x) {
    if (!std::isfinite(x)) return x;
    char buf[400];  // the largest double has 309 integer digits
    const auto written = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 2);
    double out = x;
    std::from_chars(buf, written.ptr, out);
    return out;
}

// Adds `b` to `a`; false (and `a` unchanged) when the sum overflows int64.
inline bool add_int64(std::int64_t& a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return false;
    a = sum;
    return true;
}

}  // namespace kob::views
