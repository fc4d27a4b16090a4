// Bar-start arithmetic: the start of the window of `every` units that holds a
// naive date-time, aligned as the data-frame library's `dt.truncate` aligns it
// (minutes, hours and days from 1970-01-01, weeks from Monday 1970-01-05,
// months, quarters and years counted from January 1970).  No Python in here.
#pragma once

#include <cstdint>
#include <string_view>

#include "calendar.hpp"

namespace kob::bucket {

enum class Unit : std::uint8_t { Minute, Hour, Day, Week, Month, Quarter, Year, Invalid };

inline Unit parse_unit(std::string_view u) {
    if (u == "m") return Unit::Minute;
    if (u == "h") return Unit::Hour;
    if (u == "d") return Unit::Day;
    if (u == "w") return Unit::Week;
    if (u == "mo") return Unit::Month;
    if (u == "q") return Unit::Quarter;
    if (u == "y") return Unit::Year;
    return Unit::Invalid;
}

// Largest frequency handled natively; anything else goes to the library.
constexpr std::int64_t kMaxFreq = 1000000;

// Date-times inside this range are bucketed natively (no year-zero results).
constexpr std::int64_t kSafeLo = cal::days_from_civil(1000, 1, 1) * cal::kUsPerDay;
constexpr std::int64_t kSafeHi = cal::days_from_civil(9000, 1, 1) * cal::kUsPerDay;

struct Window {
    Unit unit;
    std::int64_t every;  // >= 1
};

inline std::int64_t truncate(std::int64_t t, Window w) {
    using namespace cal;
    switch (w.unit) {
        case Unit::Minute: {
            const std::int64_t p = w.every * kUsPerMin;
            return t - floor_mod(t, p);
        }
        case Unit::Hour: {
            const std::int64_t p = w.every * 60 * kUsPerMin;
            return t - floor_mod(t, p);
        }
        case Unit::Day: {
            const std::int64_t p = w.every * kUsPerDay;
            return t - floor_mod(t, p);
        }
        case Unit::Week: {
            const std::int64_t origin = 4 * kUsPerDay;  // Monday 1970-01-05
            const std::int64_t p = w.every * 7 * kUsPerDay;
            return t - floor_mod(t - origin, p);
        }
        case Unit::Month:
        case Unit::Quarter:
        case Unit::Year: {
            const std::int64_t months = w.unit == Unit::Month     ? w.every
                                        : w.unit == Unit::Quarter ? 3 * w.every
                                                                  : 12 * w.every;
            const Civil c = civil_from_days(day_of(t));
            std::int64_t total = (c.y - 1970) * 12 + (c.m - 1);
            total -= floor_mod(total, months);
            const std::int64_t y = 1970 + floor_div(total, 12);
            const unsigned m = static_cast<unsigned>(floor_mod(total, 12)) + 1;
            return days_from_civil(y, m, 1) * kUsPerDay;
        }
        default: return t;
    }
}

}  // namespace kob::bucket
