// Price ladder of the exchange and the tick-by-tick slippage walk.
//
// Pure computation on binary doubles: every figure comes from exactly the
// operations below (scale by the band's factor, integer ceiling, true
// division; add or subtract the step), with no tolerance, so a price that is
// on the grid in decimal but just above it in binary moves one tick up.
#pragma once

#include <cmath>
#include <cstdint>

namespace kob::ladder {

// Why a ceiling could not be taken (the host's integer ceiling refuses
// NaN and infinities; a rounded integer too large for a double cannot be
// held as a price again).
enum class Status : std::uint8_t { Ok, NaN, Infinite, IntTooLarge };

enum class Band : std::uint8_t {
    Cent,    // step 0.01, factor 100
    Nickel,  // step 0.05, factor 20
    Dime,    // step 0.1, factor 10
    Half,    // step 0.5, factor 2
    One,     // step 1 (int results)
    Five,    // step 5 (int results)
};

struct Rounded {
    Status status = Status::Ok;
    Band band = Band::Cent;
    // The integer ceiling taken: ceil(price * factor), ceil(price) or
    // ceil(price / 5).  Always an integral double when status is Ok.
    double ceiled = 0.0;
    // The rounded price as a double: ceiled / factor, ceiled, or ceiled * 5
    // (the last one correctly rounded, infinite when it overflows).
    double price = 0.0;
    double step = 0.0;
};

inline bool int_band(Band b) { return b == Band::One || b == Band::Five; }

inline Rounded scaled(Band band, double scaled_price, double factor, double step) {
    Rounded r;
    r.band = band;
    r.step = step;
    if (std::isnan(scaled_price)) {
        r.status = Status::NaN;
        return r;
    }
    if (std::isinf(scaled_price)) {
        r.status = Status::Infinite;
        return r;
    }
    // + 0.0 turns the ceiling of a small negative number (-0.0) into 0.0,
    // as the host's integer ceiling has no negative zero.
    r.ceiled = std::ceil(scaled_price) + 0.0;
    r.price = r.ceiled / factor;
    return r;
}

inline Rounded integral(Band band, double x, double mult) {
    Rounded r;
    r.band = band;
    r.step = mult;
    if (std::isnan(x)) {
        r.status = Status::NaN;
        return r;
    }
    if (std::isinf(x)) {
        r.status = Status::Infinite;
        return r;
    }
    r.ceiled = std::ceil(x) + 0.0;
    r.price = r.ceiled * mult;
    return r;
}

// Rounds `price` up onto the grid of its band.  `etf` is true for codes
// that begin with "00" (exchange-traded funds), which have two bands of
// their own below 1000.
inline Rounded ceil_price_by_tick(bool etf, double price) {
    if (etf) {
        if (price < 50) return scaled(Band::Cent, price * 100, 100.0, 0.01);
        if (price < 1000) return scaled(Band::Nickel, price * 20, 20.0, 0.05);
    }
    if (price < 10) return scaled(Band::Cent, price * 100, 100.0, 0.01);
    if (price < 50) return scaled(Band::Nickel, price * 20, 20.0, 0.05);
    if (price < 100) return scaled(Band::Dime, price * 10, 10.0, 0.1);
    if (price < 500) return scaled(Band::Half, price * 2, 2.0, 0.5);
    if (price < 1000) return integral(Band::One, price, 1.0);
    return integral(Band::Five, price / 5, 5.0);
}

// The price held by the walk after a rounding: the rounded value as a
// double; an int result too large for a double cannot be held.
inline Status held(const Rounded& r, double& out) {
    if (r.status != Status::Ok) return r.status;
    if (std::isinf(r.price)) return Status::IntTooLarge;
    out = r.price;
    return Status::Ok;
}

struct Walk {
    Status status = Status::Ok;
    double price = 0.0;
    std::uint64_t done = 0;  // steps taken
    bool settled = false;    // reached a price that no further step changes
};

// Moves `price` up to `steps` ticks: round up onto the grid, then add
// (`up`) or subtract the band's step and round up again.  Stops early on a
// fixed point (a step that leaves the price as it was), after which every
// further step would give the same price again.
inline Walk slippage_walk(bool etf, double price, std::uint64_t steps, bool up) {
    Walk w;
    w.price = price;
    for (; w.done < steps; ++w.done) {
        const double before = w.price;
        Rounded r = ceil_price_by_tick(etf, w.price);
        double p = 0.0;
        if ((w.status = held(r, p)) != Status::Ok) return w;
        const double moved = up ? p + r.step : p - r.step;
        Rounded r2 = ceil_price_by_tick(etf, moved);
        if ((w.status = held(r2, p)) != Status::Ok) return w;
        w.price = p;
        if (p == before) {
            w.settled = true;
            ++w.done;
            return w;
        }
    }
    return w;
}

}  // namespace kob::ladder
