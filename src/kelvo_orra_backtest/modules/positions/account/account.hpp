// Shared pieces of position accounting.
#pragma once

#include <algorithm>
#include <iterator>

#include "../common.hpp"
#include "../domain.hpp"
#include "number.hpp"

namespace kob {

// The account methods (defined in this folder).
extern const MethodSpec pos_init;
extern const MethodSpec pos_init_account_info;
extern const MethodSpec pos_make_trade_record;
extern const MethodSpec pos_apply_future_contract_value;
extern const MethodSpec pos_ceil_price_by_tick;
extern const MethodSpec pos_calculate_slippage_price;
extern const MethodSpec pos_calculate_trade_cost;
extern const MethodSpec pos_calculate_profit;
extern const MethodSpec pos_fee_settings;
extern const MethodSpec pos_reset_fee_settings;
extern const MethodSpec pos_update_fee_settings;
extern const MethodSpec pos_set_current_tick;
extern const MethodSpec pos_add_trade_record;
extern const MethodSpec pos_set_positions;
extern const MethodSpec pos_set_initial_capital;
extern const MethodSpec pos_fetch_account_balance;
extern const MethodSpec pos_fetch_margin;

}  // namespace kob

namespace kob::account {

using ::kob::equals;
using ::kob::truth;

// A deal's action as set_positions books it: `action` the object itself (as
// entries and profit rows keep it) and `buy` its side.  Every leg is priced
// with the exact text of its side, so matching and slippage always agree.
struct Side {
    py::object action;
    bool buy;
    PyObject* priced_as() const { return buy ? KOB_STR("Buy") : KOB_STR("Sell"); }
    PyObject* opposite() const { return buy ? KOB_STR("Sell") : KOB_STR("Buy"); }
};

// Checks a deal before set_positions changes anything: every key that
// matching, the profit rows and the position views read must be there (a
// missing one raises KeyError for it) and the action must be "Buy" or "Sell"
// (ValueError otherwise).
Side check_deal(py::handle deal);

// The same check once more just before the deal is booked, since outside code
// that ran on the way (a console, an overriding method) may have reached it.
void recheck_deal(py::handle deal, const Side& side);

// A new fee-settings table with the default rates and the given fixed cost.
py::object make_default_fee_settings(long per_trade_cost);

// The object a computation works for, with the answers of is_own_method
// for the private methods it calls, asked once per public call (no host
// code runs in between on the native paths).
enum class Private : std::uint8_t { TradeCost, Slippage, Ceil, ContractValue, Count };

struct Ctx {
    PyObject* globals;  // the module namespace
    PyObject* self;
    signed char known[static_cast<int>(Private::Count)];

    Ctx(PyObject* g, PyObject* s) : globals(g), self(s) { std::fill(std::begin(known), std::end(known), -1); }
    bool own(Private which, const MethodSpec& method) {
        signed char& k = known[static_cast<int>(which)];
        if (k < 0) k = is_own_method(self, method) ? 1 : 0;
        return k != 0;
    }
};

// A float argument converted as the method tables convert it.
double float_arg(PyObject* o);

// self.__calculate_slippage_price(code, price, tick_count, direction) as a
// double; `code` is an exact str.
double slippage_price(Ctx& ctx, PyObject* code, double price, PyObject* tick_count, PyObject* direction);

// One fill's trade cost: self.__calculate_trade_cost(code, action, price,
// quantity, product_type, ignore_tax=..., need_reverse_direction=...).
struct Cost {
    Num fee, tax, fixed, qty, min_qty;
    Num price;         // after slippage
    Num origin_price;  // as given
};

// The keyword arguments of the call, and whether the "qty" of an overriding
// method's dict is read (only the exit leg needs it).
struct CostOptions {
    bool ignore_tax = false;
    bool need_reverse_direction = false;
    bool need_qty = false;
};

Cost trade_cost(Ctx& ctx, PyObject* code, PyObject* action, PyObject* price, PyObject* quantity, PyObject* product_type,
                CostOptions options);

// The trade-cost dict of a Cost.
py::object cost_dict(const Cost& c);

}  // namespace kob::account
