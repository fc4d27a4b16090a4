// Unit tests of the account's pure computation (no Python): the price
// ladder, the slippage walk and the text of a double.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "account/float_text.hpp"
#include "account/ladder.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what, double got, double want) {
    if (!ok) {
        ++failures;
        std::printf("FAIL %s: got %.17g, want %.17g\n", what, got, want);
    }
}

void rounds(bool etf, double price, double want, double step) {
    kob::ladder::Rounded r = kob::ladder::ceil_price_by_tick(etf, price);
    expect(r.status == kob::ladder::Status::Ok, "status", price, want);
    expect(r.price == want, "rounded price", r.price, want);
    expect(r.step == step, "step", r.step, step);
}

void walks(bool etf, double price, std::uint64_t steps, bool up, double want) {
    kob::ladder::Walk w = kob::ladder::slippage_walk(etf, price, steps, up);
    expect(w.status == kob::ladder::Status::Ok, "walk status", price, want);
    expect(w.price == want, "walked price", w.price, want);
}

void prints(double d, const char* want) {
    char buf[40];
    const int n = kob::text::float_repr(d, buf);
    const std::string got(buf, static_cast<size_t>(n));
    if (got != want) {
        ++failures;
        std::printf("FAIL text of %.17g: got %s, want %s\n", d, got.c_str(), want);
    }
}

}  // namespace

int main() {
    prints(0.0, "0.0");
    prints(-0.0, "-0.0");
    prints(100800.0, "100800.0");
    prints(-943.6399999999994, "-943.6399999999994");
    prints(144.63750000000002, "144.63750000000002");
    prints(0.1, "0.1");
    prints(2e-05, "2e-05");
    prints(0.0001, "0.0001");
    prints(1e16, "1e+16");
    prints(1234567890123456.0, "1234567890123456.0");
    prints(1e22, "1e+22");
    prints(1.5e300, "1.5e+300");
    prints(5e-324, "5e-324");
    prints(1.7976931348623157e308, "1.7976931348623157e+308");
    prints(INFINITY, "inf");
    prints(-INFINITY, "-inf");
    prints(NAN, "nan");

    using kob::ladder::Status;
    rounds(false, 9.99, 9.99, 0.01);
    rounds(false, 10.0, 10.0, 0.05);
    rounds(false, 49.99, 50.0, 0.05);
    rounds(false, 50.0, 50.0, 0.1);
    rounds(false, 123.456, 123.5, 0.5);
    rounds(false, 500.0, 500.0, 1);
    rounds(false, 999.5, 1000.0, 1);
    rounds(false, 1000.0, 1000.0, 5);
    rounds(false, 1001.0, 1005.0, 5);
    rounds(false, 1.1, 1.11, 0.01);
    rounds(false, 0.07, 0.08, 0.01);
    rounds(false, 2.2, 2.21, 0.01);
    rounds(false, 1.15, 1.15, 0.01);
    rounds(true, 49.991, 50.0, 0.01);
    rounds(true, 50.0, 50.0, 0.05);
    rounds(true, 999.99, 1000.0, 0.05);
    rounds(true, 1002.0, 1005.0, 5);

    // The ceiling of a small negative number is a positive zero.
    kob::ladder::Rounded z = kob::ladder::ceil_price_by_tick(false, -0.001);
    expect(!std::signbit(z.price), "positive zero", z.price, 0.0);

    expect(kob::ladder::ceil_price_by_tick(false, NAN).status == Status::NaN, "nan", 0, 0);
    expect(kob::ladder::ceil_price_by_tick(false, INFINITY).status == Status::Infinite, "inf", 0, 0);
    expect(kob::ladder::ceil_price_by_tick(false, -1e307).status == Status::Infinite, "-1e307", 0, 0);

    walks(false, 100.0, 3, true, 101.5);
    walks(false, 100.0, 3, false, 99.4);
    walks(false, 50.0, 3, true, 50.4);
    walks(false, 20.0, 3, true, 20.2);
    walks(false, 999.0, 2, true, 1005.0);
    walks(false, 101.0, 3, false, 99.5);
    walks(false, 1000.0, 1, false, 995.0);
    walks(true, 50.0, 1, false, 49.95);
    walks(false, 100.2, 0, true, 100.2);

    kob::ladder::Walk settled = kob::ladder::slippage_walk(false, 100.0, UINT64_MAX, false);
    expect(settled.settled && settled.price == 99.4 && settled.done == 3, "settles", settled.price, 99.4);

    // The largest double: its int rounding lies above it but rounds back.
    kob::ladder::Walk big = kob::ladder::slippage_walk(false, 1.7976931348623157e308, 1, true);
    expect(big.status == Status::Ok && big.price == 1.7976931348623157e308, "huge walk", big.price, 0);

    if (failures) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("account: all passed\n");
    return 0;
}
