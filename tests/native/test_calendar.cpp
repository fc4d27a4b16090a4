// Unit tests of the quote store's calendar and bar-start arithmetic (no
// Python): day numbers against the standard library's civil calendar for every
// day of years 1-9999, weekdays, floor division, and bar starts.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "kernels/bucket.hpp"
#include "kernels/calendar.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what, long long got, long long want) {
    if (!ok && ++failures <= 20) std::printf("FAIL %s: got %lld, want %lld\n", what, got, want);
}

std::int64_t us(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
    return kob::cal::days_from_civil(y, m, d) * kob::cal::kUsPerDay + ((hh * 60 + mm) * 60 + ss) * kob::cal::kUsPerSec;
}

}  // namespace

int main() {
    using namespace std::chrono;
    namespace cal = kob::cal;
    namespace bk = kob::bucket;

    const std::int64_t first = cal::days_from_civil(1, 1, 1), last = cal::days_from_civil(9999, 12, 31);
    for (std::int64_t z = first; z <= last; ++z) {
        const year_month_day ref{sys_days{days{z}}};
        const cal::Civil c = cal::civil_from_days(z);
        if (static_cast<int>(ref.year()) != c.y || static_cast<unsigned>(ref.month()) != c.m ||
            static_cast<unsigned>(ref.day()) != c.d) {
            expect(false, "civil_from_days", z, 0);
            continue;
        }
        expect(cal::days_from_civil(c.y, c.m, c.d) == z, "days_from_civil", cal::days_from_civil(c.y, c.m, c.d), z);
        // Monday is 0, as the interpreter's weekday()
        const unsigned iso = weekday{sys_days{days{z}}}.iso_encoding();
        expect(cal::weekday(z) == static_cast<int>(iso) - 1, "weekday", cal::weekday(z), iso - 1);
    }

    for (std::int64_t a : {-7, -6, -1, 0, 1, 6, 7, 13}) {
        expect(cal::floor_div(a, 7) * 7 + cal::floor_mod(a, 7) == a, "floor identity", a, a);
        expect(cal::floor_mod(a, 7) >= 0 && cal::floor_mod(a, 7) < 7, "floor_mod range", cal::floor_mod(a, 7), 0);
    }
    expect(cal::py_floordiv(-0.5, 60.0) == -1.0, "py_floordiv", 0, -1);
    expect(cal::py_fmod(-0.5, 60.0) == 59.5, "py_fmod", 0, 0);

    const std::int64_t t = us(2024, 3, 6, 10, 47, 31);  // a Wednesday
    const struct {
        bk::Unit unit;
        std::int64_t every;
        std::int64_t want;
    } cases[] = {
        {bk::Unit::Minute, 1, us(2024, 3, 6, 10, 47)}, {bk::Unit::Minute, 15, us(2024, 3, 6, 10, 45)},
        {bk::Unit::Hour, 2, us(2024, 3, 6, 10)},       {bk::Unit::Day, 1, us(2024, 3, 6)},
        {bk::Unit::Week, 1, us(2024, 3, 4)},           {bk::Unit::Month, 1, us(2024, 3, 1)},
        {bk::Unit::Month, 3, us(2024, 1, 1)},          {bk::Unit::Quarter, 1, us(2024, 1, 1)},
        {bk::Unit::Year, 1, us(2024, 1, 1)},           {bk::Unit::Year, 5, us(2020, 1, 1)},
    };
    for (const auto& k : cases)
        expect(bk::truncate(t, {k.unit, k.every}) == k.want, "truncate", bk::truncate(t, {k.unit, k.every}), k.want);
    // before 1970 the windows still count from 1970
    expect(bk::truncate(us(1969, 12, 31, 23, 59, 59), {bk::Unit::Minute, 7}) == us(1969, 12, 31, 23, 53),
           "truncate before epoch", 0, 0);
    expect(bk::truncate(us(1969, 11, 15), {bk::Unit::Quarter, 1}) == us(1969, 10, 1), "quarter before epoch", 0, 0);
    expect(bk::parse_unit("mo") == bk::Unit::Month && bk::parse_unit("M") == bk::Unit::Invalid, "parse_unit", 0, 0);

    if (failures) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("calendar: all passed\n");
    return 0;
}
