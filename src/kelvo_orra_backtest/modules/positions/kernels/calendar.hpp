// Calendar arithmetic for both quote stores: naive local date-times as
// integer microseconds, the interpreter's float floor-division and remainder,
// and the local-time conversion of POSIX timestamps (rounded as the
// interpreter rounds them).  The gap-filling minute loops that use it are
// quotes/gap_fill.cpp and columnar/store.hpp.  No Python in here.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

namespace kob::cal {

constexpr std::int64_t kUsPerSec = 1000000;
constexpr std::int64_t kUsPerMin = 60 * kUsPerSec;
constexpr std::int64_t kUsPerDay = 86400 * kUsPerSec;

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t y;
    unsigned m, d;
};

constexpr Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
constexpr std::int64_t floor_mod(std::int64_t a, std::int64_t b) { return a - floor_div(a, b) * b; }

// Monday = 0 ... Sunday = 6 (1970-01-01 was a Thursday).
constexpr int weekday(std::int64_t days) { return static_cast<int>(floor_mod(days + 3, 7)); }

// Naive date-time <-> microseconds since 1970-01-01 00:00 (no zone).
struct Fields {
    std::int64_t year;
    int month, day, hour, minute, second, us;
};

constexpr std::int64_t to_us(const Fields& f) {
    return days_from_civil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) * kUsPerDay +
           ((f.hour * 60 + f.minute) * 60 + f.second) * kUsPerSec + f.us;
}

constexpr Fields from_us(std::int64_t t) {
    const std::int64_t days = floor_div(t, kUsPerDay);
    std::int64_t rest = t - days * kUsPerDay;
    const Civil c = civil_from_days(days);
    const int us = static_cast<int>(rest % kUsPerSec);
    rest /= kUsPerSec;
    return {c.y,
            static_cast<int>(c.m),
            static_cast<int>(c.d),
            static_cast<int>(rest / 3600),
            static_cast<int>(rest / 60 % 60),
            static_cast<int>(rest % 60),
            us};
}

constexpr std::int64_t day_of(std::int64_t t) { return floor_div(t, kUsPerDay); }
constexpr std::int64_t time_of_day(std::int64_t t) { return floor_mod(t, kUsPerDay); }
constexpr int minute_of_hour(std::int64_t t) { return static_cast<int>(time_of_day(t) / kUsPerMin % 60); }

// datetime.min / datetime.max as microseconds.
constexpr std::int64_t kMinUs = days_from_civil(1, 1, 1) * kUsPerDay;
constexpr std::int64_t kMaxUs = days_from_civil(9999, 12, 31) * kUsPerDay + kUsPerDay - 1;

// The interpreter's float `%` (sign of the divisor).
inline double py_fmod(double vx, double wx) {
    double mod = std::fmod(vx, wx);
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) mod += wx;
    } else {
        mod = std::copysign(0.0, wx);
    }
    return mod;
}

// The interpreter's float `//`.
inline double py_floordiv(double vx, double wx) {
    double mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) {
            mod += wx;
            div -= 1.0;
        }
    }
    double floordiv;
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, vx / wx);
    }
    return floordiv;
}

// Round half to even, as the interpreter rounds timestamps.
inline double round_half_even(double x) {
    double rounded = std::round(x);
    if (std::fabs(x - rounded) == 0.5) rounded = 2.0 * std::round(x / 2.0);
    return rounded;
}

// Splits a float timestamp into whole seconds and microseconds the way the
// interpreter does (fraction rounded half to even).  False when the value is
// NaN or does not fit a time_t: the caller lets the interpreter raise.
inline bool split_timestamp(double d, std::int64_t& sec, int& us) {
    if (std::isnan(d)) return false;
    double intpart;
    double floatpart = std::modf(d, &intpart);
    floatpart = round_half_even(floatpart * 1e6);
    if (floatpart >= 1e6) {
        floatpart -= 1e6;
        intpart += 1.0;
    } else if (floatpart < 0) {
        floatpart += 1e6;
        intpart -= 1.0;
    }
    // Well inside time_t; anything beyond goes to the interpreter.
    if (!(intpart >= -9.2e18 && intpart <= 9.2e18)) return false;
    sec = static_cast<std::int64_t>(intpart);
    us = static_cast<int>(floatpart);
    return true;
}

// Local wall-clock seconds (as if UTC) of a POSIX second; false on failure.
inline bool local_seconds(std::int64_t t, std::int64_t& out) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return false;
    if (tm.tm_sec > 59) tm.tm_sec = 59;
    out = days_from_civil(static_cast<std::int64_t>(tm.tm_year) + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                          static_cast<unsigned>(tm.tm_mday)) *
              86400 +
          tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return true;
}

// Naive local date-time of a POSIX second plus microseconds, with the fold
// the interpreter computes for a repeated wall-clock hour.  False when the
// conversion fails or leaves the datetime range (the caller then lets the
// interpreter produce its error).
inline bool local_from_posix(std::int64_t sec, int us, std::int64_t& out_us, int& fold) {
    std::int64_t result;
    if (!local_seconds(sec, result)) return false;
    if (result < kMinUs / kUsPerSec || result > kMaxUs / kUsPerSec) return false;
    fold = 0;
    constexpr std::int64_t kMaxFold = 86400;
    std::int64_t probe;
    if (!local_seconds(sec - kMaxFold, probe)) return false;
    if (probe < kMinUs / kUsPerSec) return false;
    const std::int64_t transition = result - probe - kMaxFold;
    if (transition < 0) {
        if (!local_seconds(sec + transition, probe)) return false;
        if (probe == result) fold = 1;
    }
    out_us = result * kUsPerSec + us;
    return true;
}

// UTC offsets of the process's zone remembered over short verified spans.
// A span [lo, lo + kSpan] is kept when the offsets at both ends agree (and no
// leap second shows at either end); zone rules never change the offset twice
// within ten minutes.  The spans are dropped whenever the C library's zone
// state or the TZ variable changes.
class ZoneCache {
public:
    static constexpr std::int64_t kSpan = 600;

    // Same result as local_from_posix.
    bool local_from_posix_cached(std::int64_t sec, int us, std::int64_t& out_us, int& fold) {
        refresh();
        std::int64_t off_t, off_p;
        if (!offset(sec, off_t) || !offset(sec - 86400, off_p)) return local_from_posix(sec, us, out_us, fold);
        const std::int64_t result = sec + off_t;
        const std::int64_t probe = sec - 86400 + off_p;
        if (result < kMinUs / kUsPerSec || result > kMaxUs / kUsPerSec || probe < kMinUs / kUsPerSec)
            return local_from_posix(sec, us, out_us, fold);
        const std::int64_t transition = off_t - off_p;
        if (transition < 0) return local_from_posix(sec, us, out_us, fold);
        fold = 0;
        out_us = result * kUsPerSec + us;
        return true;
    }

private:
    struct Span {
        std::int64_t lo = 1, hi = 0, off = 0;
    };
    Span spans_[4];
    unsigned next_ = 0;
    long tz_ = 0;
    int daylight_ = 0;
    const char* n0_ = nullptr;
    const char* n1_ = nullptr;
    std::string env_;
    bool env_set_ = false;
    bool primed_ = false;

    void refresh() {
        const char* e = std::getenv("TZ");
        const bool same_env = (e != nullptr) == env_set_ && (!e || env_ == e);
        if (primed_ && same_env && tz_ == timezone && daylight_ == daylight && n0_ == tzname[0] && n1_ == tzname[1])
            return;
        for (Span& s : spans_) s = Span{};
        env_set_ = e != nullptr;
        env_ = e ? e : "";
        tz_ = timezone;
        daylight_ = daylight;
        n0_ = tzname[0];
        n1_ = tzname[1];
        primed_ = true;
    }

    static bool raw_offset(std::int64_t t, std::int64_t& off) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm;
        if (!localtime_r(&tt, &tm) || tm.tm_sec > 59) return false;
        const std::int64_t local =
            days_from_civil(static_cast<std::int64_t>(tm.tm_year) + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                            static_cast<unsigned>(tm.tm_mday)) *
                86400 +
            tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
        off = local - t;
        return true;
    }

    bool offset(std::int64_t t, std::int64_t& off) {
        for (const Span& s : spans_)
            if (s.lo <= t && t <= s.hi) {
                off = s.off;
                return true;
            }
        if (!raw_offset(t, off)) return false;
        std::int64_t off_end;
        if (raw_offset(t + kSpan, off_end) && off_end == off) {
            spans_[next_] = Span{t, t + kSpan, off};
            next_ = (next_ + 1) % 4;
        }
        return true;
    }
};

}  // namespace kob::cal
