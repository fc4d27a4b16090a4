// Position matching and realised profit: set_positions opens or covers
// positions first in, first out; __calculate_profit prices every matched
// piece and makes its profit row.
//
// A deal is applied in two phases: everything it needs (both legs of every
// piece, the remainder's entry cost, the new counters and capital, the
// console lines) is computed first, then the lines are printed and the new
// values stored.  A deal that fails on the way therefore changes nothing of
// the account.
#include <optional>
#include <vector>

#include "account.hpp"

namespace kob {

namespace {

using account::Cost;
using account::equals;
using account::Num;
using account::Text;
using account::truth;

Num operator+(const Num& a, long long b) { return a + Num::integer(b); }

// One matched piece: an entry covered, wholly or partly, by the deal.
struct Piece {
    py::object entry;
    Num new_quantity;  // the entry's quantity after this piece
    bool removed = false;
    py::object row;
    py::object entry_text;  // the entry as printed (before this piece)
};

// The outcome of a cover, computed without changing anything.
struct CoverPlan {
    std::vector<Piece> pieces;
    py::object target;       // the opposite side's list
    Py_ssize_t removed = 0;  // entries taken off the front
    py::object deal_text;
    Num entry_total = Num::integer(0), exit_total = Num::integer(0);
    Num origin_profit = Num::integer(0);
    Num entry_cost_total = Num::integer(0), exit_cost_total = Num::integer(0);
    Num cost = Num::integer(0), profit = Num::integer(0);
    bool is_covered = true;
    Num un_cover_qty;
};

py::object sequence_item(PyObject* seq, Py_ssize_t k) {
    if (PyList_CheckExact(seq)) return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, k));
    return steal(PySequence_GetItem(seq, k));
}

Py_ssize_t sequence_size(PyObject* seq) {
    if (PyList_CheckExact(seq)) return PyList_GET_SIZE(seq);
    Py_ssize_t n = PyObject_Length(seq);
    if (n < 0) throw py::error_already_set();
    return n;
}

// a < b; two ints that fit 64 bits are compared without boxing.
bool less(const Num& a, const Num& b) {
    if (a.kind == Num::I && b.kind == Num::I) return a.i < b.i;
    int r = PyObject_RichCompareBool(a.obj().ptr(), b.obj().ptr(), Py_LT);
    check(r);
    return r != 0;
}

py::object calculate_profit(Call& c);

// Prices every piece of the cover of `deal` against the opposite side.  With
// `side` (from set_positions) the deal's checked action decides the target
// list and both legs are priced with the texts of their sides; without it
// (__calculate_profit called directly) the action is read from the deal and
// compared with Action.BUY.value, and each leg is priced with its own action.
CoverPlan plan_cover(const Call& c, account::Ctx& ctx, py::handle deal, py::handle product_type,
                     const account::Side* side = nullptr) {
    CoverPlan plan;
    PyObject* self = c.self;
    plan.un_cover_qty = Num::from(item(deal, KOB_STR("quantity")));
    py::object action;
    bool covers_short;
    if (side) {
        action = side->action;
        covers_short = side->buy;
    } else {
        action = item(deal, KOB_STR("action"));
        py::object buy_value = attr(attr(c.global(KOB_STR("Action")), KOB_STR("BUY")), KOB_STR("value"));
        covers_short = equals(action.ptr(), buy_value.ptr());
    }
    PyObject* exit_priced_as = side ? side->priced_as() : action.ptr();
    py::object code = item(deal, KOB_STR("code"));
    plan.target = item(item(attr(self, KOB_STR("positions")), code), covers_short ? KOB_STR("sell") : KOB_STR("buy"));
    PyObject* target = plan.target.ptr();

    py::object deal_price, deal_ts;
    std::optional<Num> pending;  // a quantity already lowered for the front entry
    while (gt_zero(plan.un_cover_qty) && sequence_size(target) - plan.removed > 0) {
        Piece piece;
        piece.entry = sequence_item(target, plan.removed);
        py::handle entry = piece.entry;
        const Num entry_qty = pending ? *pending : Num::from(item(entry, KOB_STR("quantity")));
        const Num matched = less(entry_qty, plan.un_cover_qty) ? entry_qty : plan.un_cover_qty;
        py::object matched_obj = matched.obj();

        py::object entry_action = item(entry, KOB_STR("action"));
        const Cost in = account::trade_cost(
            ctx, item(entry, KOB_STR("code")).ptr(), side ? side->opposite() : entry_action.ptr(),
            item(entry, KOB_STR("price")).ptr(), matched_obj.ptr(), product_type.ptr(), {.ignore_tax = true});
        if (!deal_price) deal_price = item(deal, KOB_STR("price"));
        const Cost out = account::trade_cost(ctx, code.ptr(), exit_priced_as, deal_price.ptr(), matched_obj.ptr(),
                                             product_type.ptr(), {.need_qty = true});
        if (!plan.deal_text) plan.deal_text = account::dict_text(deal);
        piece.entry_text = account::dict_text(entry);

        const Num entry_amount = in.price * in.min_qty;
        const Num exit_amount = out.price * out.min_qty;
        const Num entry_cost = in.fee + in.tax + in.fixed;
        const Num exit_cost = out.fee + out.tax + out.fixed;
        plan.entry_cost_total = plan.entry_cost_total + entry_cost;
        plan.exit_cost_total = plan.exit_cost_total + exit_cost;
        plan.entry_total = plan.entry_total + entry_amount;
        plan.exit_total = plan.exit_total + exit_amount;
        const Num both = entry_cost + exit_cost;
        Num profit, divisor;
        if (covers_short) {
            profit = entry_amount - exit_amount - both;
            divisor = entry_amount - entry_cost;
        } else {
            profit = exit_amount - entry_amount - both;
            divisor = entry_amount + entry_cost;
        }
        const Num ratio = eq_zero(divisor) ? Num::integer(0) : truediv(profit, divisor);
        plan.profit = plan.profit + profit;
        plan.cost = plan.cost + both;

        if (!deal_ts) deal_ts = item(deal, KOB_STR("exchange_ts"));
        py::object row = steal(_PyDict_NewPresized(23));
        auto put = [&](PyObject* key, py::handle v) { check(PyDict_SetItem(row.ptr(), key, v.ptr())); };
        put(KOB_STR("code"), code);
        put(KOB_STR("entry_action"), entry_action);
        put(KOB_STR("entry_dt"), item(entry, KOB_STR("exchange_ts")));
        put(KOB_STR("entry_price"), in.price.obj());
        put(KOB_STR("entry_origin_price"), in.origin_price.obj());
        put(KOB_STR("exit_action"), action);
        put(KOB_STR("exit_dt"), deal_ts);
        put(KOB_STR("exit_price"), out.price.obj());
        put(KOB_STR("exit_origin_price"), out.origin_price.obj());
        put(KOB_STR("qty"), out.qty.obj());
        put(KOB_STR("min_qty"), out.min_qty.obj());
        put(KOB_STR("trade_cost"), entry_cost.obj());
        put(KOB_STR("cover_cost"), exit_cost.obj());
        put(KOB_STR("cover_cost_fee"), out.fee.obj());
        put(KOB_STR("cover_cost_tax"), out.tax.obj());
        put(KOB_STR("cover_cost_fixed"), out.fixed.obj());
        put(KOB_STR("trade_cost_fee"), in.fee.obj());
        put(KOB_STR("trade_cost_tax"), in.tax.obj());
        put(KOB_STR("trade_cost_fixed"), in.fixed.obj());
        put(KOB_STR("profit"), profit.obj());
        put(KOB_STR("profit_ratio"), ratio.obj());
        put(KOB_STR("entry_amount"), entry_amount.obj());
        put(KOB_STR("exit_amount"), exit_amount.obj());
        piece.row = row;

        plan.un_cover_qty = plan.un_cover_qty - matched;
        piece.new_quantity = entry_qty - matched;
        piece.removed = eq_zero(piece.new_quantity);
        if (piece.removed) {
            ++plan.removed;
            pending.reset();
        } else {
            pending = piece.new_quantity;
        }
        plan.pieces.push_back(std::move(piece));
    }
    plan.is_covered = eq_zero(plan.un_cover_qty);
    return plan;
}

void print_pieces(const Call& c, const CoverPlan& plan) {
    for (const Piece& p : plan.pieces) {
        console_print(c, Text().lit(KOB_STR("[green]沖銷部位: ")).text(plan.deal_text).lit(KOB_STR("[/green]")).done());
        console_print(c,
                      Text().lit(KOB_STR("[yellow]被沖銷部位: ")).text(p.entry_text).lit(KOB_STR("[/yellow]")).done());
    }
}

// Stores the pieces: rows appended, entries lowered, used-up entries
// taken off the front of the list.
void commit_pieces(PyObject* self, const CoverPlan& plan) {
    if (plan.pieces.empty()) return;
    py::object rows = item(attr(self, KOB_STR("_profit_report")), KOB_STR("rows"));
    for (const Piece& p : plan.pieces) {
        append(rows, p.row);
        set_item(p.entry, KOB_STR("quantity"), p.new_quantity.obj());
    }
    if (plan.removed) check(PySequence_DelSlice(plan.target.ptr(), 0, plan.removed));
}

py::object cover_result(const CoverPlan& plan) {
    py::dict d;
    set_item(d, KOB_STR("entry_total"), plan.entry_total.obj());
    set_item(d, KOB_STR("exit_total"), plan.exit_total.obj());
    set_item(d, KOB_STR("origin_profit"), plan.origin_profit.obj());
    set_item(d, KOB_STR("entry_cost_total"), plan.entry_cost_total.obj());
    set_item(d, KOB_STR("exit_cost_total"), plan.exit_cost_total.obj());
    set_item(d, KOB_STR("cost"), plan.cost.obj());
    set_item(d, KOB_STR("profit"), plan.profit.obj());
    set_item(d, KOB_STR("is_covered"), py::bool_(plan.is_covered));
    set_item(d, KOB_STR("un_cover_qty"), plan.un_cover_qty.obj());
    return d;
}

py::object calculate_profit(Call& c) {
    account::Ctx ctx(c.globals, c.self);
    CoverPlan plan = plan_cover(c, ctx, c[0], c[1]);
    print_pieces(c, plan);
    commit_pieces(c.self, plan);
    return cover_result(plan);
}

// The cover result of an overriding __calculate_profit, read as set_positions
// reads it.
CoverPlan plan_from_result(py::handle result) {
    CoverPlan plan;
    plan.profit = Num::from(item(result, KOB_STR("profit")));
    plan.is_covered = truth(item(result, KOB_STR("is_covered")).ptr());
    if (!plan.is_covered) plan.un_cover_qty = Num::from(item(result, KOB_STR("un_cover_qty")));
    plan.entry_total = Num::from(item(result, KOB_STR("entry_total")));
    plan.exit_total = Num::from(item(result, KOB_STR("exit_total")));
    plan.cost = Num::from(item(result, KOB_STR("cost")));
    plan.origin_profit = Num::from(item(result, KOB_STR("origin_profit")));
    plan.exit_cost_total = Num::from(item(result, KOB_STR("exit_cost_total")));
    return plan;
}

// A deep copy of the deal: the plain dict of plain values is copied here,
// anything else by the `copy` module.
py::object deep_copy(const Call& c, py::handle trade) {
    auto atom = [](PyObject* o) {
        return PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) ||
               o == Py_None;
    };
    bool plain = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (plain && PyDict_Next(trade.ptr(), &pos, &k, &v)) plain = atom(k) && atom(v);
    if (plain) return steal(PyDict_Copy(trade.ptr()));
    py::object deepcopy = attr(c.global(KOB_STR("copy")), KOB_STR("deepcopy"));
    return steal(PyObject_CallOneArg(deepcopy.ptr(), trade.ptr()));
}

void setdefault(py::handle mapping, py::handle key, py::handle value) {
    if (PyDict_CheckExact(mapping.ptr())) {
        check(PyDict_SetDefault(mapping.ptr(), key.ptr(), value.ptr()));
        return;
    }
    PyObject* args[] = {mapping.ptr(), key.ptr(), value.ptr()};
    steal(PyObject_VectorcallMethod(KOB_STR("setdefault"), args, 3, nullptr));
}

// A counter of the account-info record with its new value.
struct Update {
    PyObject* key;
    Num value;
};

// The entry line and the new capital of an entry.
struct Entry {
    Cost cost;
    Num notional, charge;  // price × min_qty and fee + fixed cost
};

// What an entry takes from the capital.
Num outlay(const Entry& e) { return e.notional + e.cost.fee + e.cost.fixed; }

Entry price_entry(account::Ctx& ctx, py::handle deal, const account::Side& side, py::handle quantity,
                  py::handle product_type) {
    Entry e;
    e.cost = account::trade_cost(ctx, item(deal, KOB_STR("code")).ptr(), side.priced_as(),
                                 item(deal, KOB_STR("price")).ptr(), quantity.ptr(), product_type.ptr(),
                                 {.ignore_tax = true});
    e.notional = e.cost.price * e.cost.min_qty;
    e.charge = e.cost.fee + e.cost.fixed;
    return e;
}

py::object entry_line(bool long_side, const Num& capital, const Entry& e) {
    return Text()
        .lit(long_side ? KOB_STR("[bold pink1][做多進場]本金: ") : KOB_STR("[bold pink1][做空進場]本金: "))
        .num(capital)
        .lit(long_side ? KOB_STR(", 進場價金: ") : KOB_STR(", 應付金額: "))
        .num(e.notional)
        .lit(KOB_STR(", 進場成本: "))
        .num(e.charge)
        .lit(KOB_STR("[/bold pink1]"))
        .done();
}

py::object set_positions(Call& c) {
    PyObject* self = c.self;
    account::Ctx ctx(c.globals, self);
    py::handle trade = c[0], product_type = c[1];
    py::object code = item(trade, KOB_STR("code"));
    // The copy that becomes the entry is checked before anything changes.
    py::object deal = deep_copy(c, trade);
    const account::Side side = account::check_deal(deal);
    const bool buy = side.buy;
    {
        py::object positions = attr(self, KOB_STR("positions"));
        PyObject* known = nullptr;
        if (PyDict_CheckExact(positions.ptr())) {
            known = PyDict_GetItemWithError(positions.ptr(), code.ptr());
            if (!known && PyErr_Occurred()) throw py::error_already_set();
        }
        if (!known) {
            py::dict book;
            set_item(book, KOB_STR("buy"), py::list());
            set_item(book, KOB_STR("sell"), py::list());
            setdefault(positions, code, book);
        }
    }
    setdefault(attr(self, KOB_STR("product_type_mapper")), code, product_type);
    {
        py::object infos = attr(self, KOB_STR("_account_infos"));
        int has = PySequence_Contains(infos.ptr(), code.ptr());
        check(has);
        if (!has) set_item(infos, code, call_method(self, name_on_instance(pos_init_account_info)));
    }
    const Num capital_before = Num::from(attr(self, KOB_STR("current_capital")));
    PyObject* own_side = buy ? KOB_STR("buy") : KOB_STR("sell");
    PyObject* other_side = buy ? KOB_STR("sell") : KOB_STR("buy");
    const bool covers = truth(item(item(attr(self, KOB_STR("positions")), code), other_side).ptr());

    std::vector<py::object> lines;
    std::vector<Update> updates;
    py::object record;
    bool keep_deal = true;  // the deal (or its remainder) becomes an entry

    if (!covers) {
        // Entry: a new position of the deal's own side.
        const Entry e = price_entry(ctx, deal, side, item(deal, KOB_STR("quantity")), product_type);
        record = item(attr(self, KOB_STR("_account_infos")), code);
        const Num entry_times = Num::from(item(record, KOB_STR("entry_times"))) + 1;
        const Num capital_after = Num::from(attr(self, KOB_STR("current_capital"))) - outlay(e);
        console_print(c, entry_line(buy, capital_before, e));
        account::recheck_deal(deal, side);
        set_item(record, py::handle(KOB_STR("entry_times")), entry_times.obj());
        set_attr(self, KOB_STR("current_capital"), capital_after.obj());
    } else {
        CoverPlan plan;
        const bool native = is_own_method(self, pos_calculate_profit);
        if (native)
            plan = plan_cover(c, ctx, deal, product_type, &side);
        else
            plan = plan_from_result(call_method(self, name_on_instance(pos_calculate_profit), deal, product_type));
        keep_deal = !plan.is_covered;
        std::optional<Entry> rest;
        if (keep_deal) rest = price_entry(ctx, deal, side, plan.un_cover_qty.obj(), product_type);

        py::object report = attr(self, KOB_STR("_profit_report"));
        const Num profit_sum = Num::from(item(report, KOB_STR("profit"))) + plan.profit;
        record = item(attr(self, KOB_STR("_account_infos")), code);
        auto counter = [&](PyObject* key) { return Num::from(item(record, key)); };
        updates.push_back({KOB_STR("entry_amount"), counter(KOB_STR("entry_amount")) + plan.entry_total});
        updates.push_back({KOB_STR("exit_amount"), counter(KOB_STR("exit_amount")) + plan.exit_total});
        updates.push_back({KOB_STR("extra_fee"), counter(KOB_STR("extra_fee")) + plan.cost});
        updates.push_back({KOB_STR("profit"), counter(KOB_STR("profit")) + plan.profit});
        updates.push_back({KOB_STR("net_profit"), counter(KOB_STR("net_profit")) + plan.origin_profit});
        updates.push_back({KOB_STR("cover_times"), counter(KOB_STR("cover_times")) + 1});
        if (gt_zero(plan.profit)) {
            updates.push_back({KOB_STR("profit_times"), counter(KOB_STR("profit_times")) + 1});
            updates.push_back({KOB_STR("profit_total"), counter(KOB_STR("profit_total")) + plan.profit});
        } else {
            updates.push_back({KOB_STR("loss_times"), counter(KOB_STR("loss_times")) + 1});
            updates.push_back({KOB_STR("loss_total"), counter(KOB_STR("loss_total")) + plan.profit});
        }
        const Num capital = Num::from(attr(self, KOB_STR("current_capital")));
        Num capital_after =
            buy ? capital + (plan.entry_total + (plan.entry_total - plan.exit_total - plan.exit_cost_total))
                : capital + (plan.exit_total - plan.exit_cost_total);
        lines.push_back(
            Text()
                .lit(buy ? KOB_STR("[bold yellow][做空沖銷]本金: ") : KOB_STR("[bold yellow][做多沖銷]本金: "))
                .num(capital_before)
                .lit(buy ? KOB_STR(", 出場價金: ") : KOB_STR(", 回收價金: "))
                .num(plan.exit_total)
                .lit(KOB_STR(", 損益: "))
                .num(plan.profit)
                .lit(KOB_STR(", 出場成本: "))
                .num(plan.exit_cost_total)
                .lit(KOB_STR("[/bold yellow]"))
                .done());
        if (rest) {
            // The remainder opens a position of the deal's own side.
            Num entry_times = counter(KOB_STR("entry_times")) + 1;
            updates.push_back({KOB_STR("entry_times"), entry_times});
            lines.push_back(entry_line(buy, capital_after, *rest));
            capital_after = capital_after - outlay(*rest);
        }

        if (native) print_pieces(c, plan);
        for (auto& line : lines) console_print(c, line);
        account::recheck_deal(deal, side);
        if (native) commit_pieces(self, plan);
        set_item(report, KOB_STR("profit"), profit_sum.obj());
        if (keep_deal) set_item(deal, KOB_STR("quantity"), plan.un_cover_qty.obj());
        for (const Update& u : updates) set_item(record, u.key, u.value.obj());
        set_attr(self, KOB_STR("current_capital"), capital_after.obj());
    }
    if (keep_deal) append(item(item(attr(self, KOB_STR("positions")), code), own_side), deal);
    return py::none();
}

}  // namespace

const MethodSpec pos_calculate_profit = {
    .name = "__calculate_profit",
    .params =
        {
            {"cover_position", Kind::Dict, "Dict[str, Any]"},
            {"product_type", Kind::Any, "Literal['Stock', 'Future']"},
        },
    .impl = calculate_profit,
    .doc = R"doc(計算損益

        Args:
            cover_position (Dict[str, Any]): 要平倉的部位
            product_type (Literal["Stock", "Future"]): 商品類型

        Returns:
            Dict[str, Any]: 損益資訊, 包含損益金額(profit), 是否已全部沖銷(is_covered), 未沖銷數量(un_cover_qty), 交易成本(cost), 原始損益(origin_profit)
        )doc",
    .returns = "Dict[str, Any]",
};

const MethodSpec pos_set_positions = {
    .name = "set_positions",
    .params =
        {
            {"trade", Kind::Dict, "dict"},
            {"product_type", Kind::Any, "Literal['Stock', 'Future']"},
        },
    .impl = set_positions,
    .doc = R"doc(設定持有部位

        Args:
            trade (dict): 交易紀錄
            product_type (Literal["Stock", "Future"]): 商品類型
        )doc",
};

}  // namespace kob
