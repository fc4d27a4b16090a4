// Positions state and trade intake: the constructor, trade records, the
// current tick per code, the capital, the account-info record and the check
// of a deal before it is booked.
#include "account.hpp"

namespace kob {

namespace {

py::object positions_init(Call& c) {
    py::handle self = c.self;
    py::object queue_cls = attr(c.global(KOB_STR("queue")), KOB_STR("Queue"));
    set_attr(self, KOB_STR("positions"), py::dict());
    set_attr(self, KOB_STR("trade_records"), py::list());
    set_attr(self, KOB_STR("product_type_mapper"), py::dict());
    set_attr(self, KOB_STR("current_tick_infos"), py::dict());
    set_attr(self, KOB_STR("fetch_position_queue"), queue_cls());
    set_attr(self, KOB_STR("finish_fetch_position_queue"), queue_cls());
    set_attr(self, KOB_STR("wait_fetch_position_response_flag"), py::bool_(false));
    py::int_ capital(100000);
    set_attr(self, KOB_STR("initial_capital"), capital);
    set_attr(self, KOB_STR("current_capital"), capital);
    py::dict report;
    report[KOB_STR("profit")] = py::int_(0);
    report[KOB_STR("rows")] = py::list();
    set_attr(self, KOB_STR("_profit_report"), report);
    set_attr(self, KOB_STR("_fee_settings"), account::make_default_fee_settings(0));
    set_attr(self, KOB_STR("_account_infos"), py::dict());
    return py::none();
}

py::object init_account_info(Call&) {
    py::dict info;
    py::int_ zero(0);
    for (PyObject* key : {KOB_STR("entry_times"), KOB_STR("cover_times"), KOB_STR("entry_amount"),
                          KOB_STR("exit_amount"), KOB_STR("net_profit"), KOB_STR("extra_fee"), KOB_STR("profit_times"),
                          KOB_STR("loss_times"), KOB_STR("profit_total"), KOB_STR("loss_total"), KOB_STR("profit")})
        info[key] = zero;
    return info;
}

// The trade-record arguments by name, in the order of the table that
// __make_trade_record and add_trade_record share.
struct TradeRecordArgs {
    py::handle trade_id, code, action, quantity;
    double price, timestamp;
    py::handle trade_status;
    explicit TradeRecordArgs(const Call& c)
        : trade_id(c[0]),
          code(c[1]),
          action(c[2]),
          quantity(c[3]),
          price(c.num(4)),
          timestamp(c.num(5)),
          trade_status(c[6]) {}
};

py::object make_trade_record(Call& c) {
    const TradeRecordArgs a(c);
    // datetime.fromtimestamp gives the local time with the fraction rounded
    // half to even to whole microseconds.
    py::object dt_cls = c.global(KOB_STR("datetime"));
    py::object when =
        steal(PyObject_CallMethodOneArg(dt_cls.ptr(), KOB_STR("fromtimestamp"), py::float_(a.timestamp).ptr()));
    py::object text =
        steal(PyObject_CallMethodOneArg(when.ptr(), KOB_STR("strftime"), KOB_STR("%Y-%m-%d %H:%M:%S.%f")));
    py::dict record;
    record[KOB_STR("trade_id")] = a.trade_id;
    record[KOB_STR("code")] = a.code;
    record[KOB_STR("action")] = a.action;
    record[KOB_STR("quantity")] = a.quantity;
    record[KOB_STR("price")] = py::float_(a.price);
    record[KOB_STR("dt")] = text;
    record[KOB_STR("trade_status")] = a.trade_status;
    return record;
}

py::object add_trade_record(Call& c) {
    const TradeRecordArgs a(c);
    py::object record = call_method(c.self, name_on_instance(pos_make_trade_record), a.trade_id, a.code, a.action,
                                    a.quantity, py::float_(a.price), py::float_(a.timestamp), a.trade_status);
    append(attr(c.self, KOB_STR("trade_records")), record);
    return py::none();
}

py::object set_current_tick(Call& c) {
    py::object code = item(c[0], KOB_STR("code"));
    set_item(attr(c.self, KOB_STR("current_tick_infos")), code, c[0]);
    return py::none();
}

py::object set_initial_capital(Call& c) {
    set_attr(c.self, KOB_STR("initial_capital"), c[0]);
    set_attr(c.self, KOB_STR("current_capital"), c[0]);
    return py::none();
}

py::object current_capital(Call& c) { return attr(c.self, KOB_STR("current_capital")); }

}  // namespace

namespace account {

namespace {

// The side of an action that is the text "Buy" or "Sell", a str subclass
// read by its characters (no method of it runs); anything else is refused.
bool side_of(py::handle action) {
    if (PyUnicode_Check(action.ptr())) {
        if (PyUnicode_Compare(action.ptr(), KOB_STR("Buy")) == 0) return true;
        if (PyUnicode_Compare(action.ptr(), KOB_STR("Sell")) == 0) return false;
    }
    PyErr_Format(PyExc_ValueError, "set_positions: the deal's action must be 'Buy' or 'Sell', got %R", action.ptr());
    throw py::error_already_set();
}

}  // namespace

Side check_deal(py::handle deal) {
    // "code" was read before, from the caller's dict.  Matching and the profit
    // rows read "action", "price", "quantity" and "exchange_ts"; the position
    // views read "product_type" and "trade_id" of every open entry.
    py::object action = item(deal, KOB_STR("action"));
    for (PyObject* key :
         {KOB_STR("price"), KOB_STR("quantity"), KOB_STR("exchange_ts"), KOB_STR("product_type"), KOB_STR("trade_id")})
        item(deal, key);
    const bool buy = side_of(action);
    return {std::move(action), buy};
}

void recheck_deal(py::handle deal, const Side& side) {
    const Side now = check_deal(deal);
    if (now.buy != side.buy) {
        PyErr_SetString(PyExc_RuntimeError, "set_positions: the deal's action changed while it was booked");
        throw py::error_already_set();
    }
}

}  // namespace account

const MethodSpec pos_init = {
    .name = "__init__",
    .impl = positions_init,
    .doc = "Position Module",
};

const MethodSpec pos_init_account_info = {
    .name = "__init_account_info",
    .impl = init_account_info,
};

// The record maker and its public wrapper take the same arguments.
const std::vector<Param> kTradeRecordParams = {
    {"trade_id", Kind::Str, "str"},
    {"code", Kind::Str, "str"},
    {"action", Kind::Any, "Literal['Buy', 'Sell']"},
    {"quantity", Kind::Int, "int"},
    {"price", Kind::Float, "float"},
    {"timestamp", Kind::Float, "float"},
    {"trade_status", Kind::Any, "Literal['Order', 'Deal', 'Cancel']"},
};

const MethodSpec pos_make_trade_record = {
    .name = "__make_trade_record",
    .params = kTradeRecordParams,
    .impl = make_trade_record,
    .doc = R"doc(建立交易紀錄

        Args:
            trade_id (str): 交易 ID
            code (str): 商品代號
            action (Literal["Buy", "Sell"]): 買賣方向
            quantity (int): 數量
            price (float): 價格
            timestamp (float): 時間戳
            trade_status (Literal["Order", "Deal", "Cancel"]): 交易狀態

        Returns:
            Dict[str, Any]: 交易紀錄
        )doc",
    .returns = "Dict[str, Any]",
};

const MethodSpec pos_set_current_tick = {
    .name = "set_current_tick",
    .params =
        {
            {"tick", Kind::Dict, "Dict[str, Any]"},
        },
    .impl = set_current_tick,
    .doc = R"doc(設定目前的 Tick 資訊

        Args:
            tick (Dict[str, Any]): Tick 資訊
        )doc",
};

const MethodSpec pos_add_trade_record = {
    .name = "add_trade_record",
    .params = kTradeRecordParams,
    .impl = add_trade_record,
    .doc = R"doc(加入交易紀錄

        Args:
            trade_id (str): 交易 ID
            code (str): 商品代號
            action (Literal["Buy", "Sell"]): 買賣方向
            quantity (int): 數量
            price (float): 價格
            timestamp (float): 時間戳
            trade_status (Literal["Order", "Deal", "Cancel"]): 交易狀態
        )doc",
};

const MethodSpec pos_set_initial_capital = {
    .name = "set_initial_capital",
    .params =
        {
            {"capital", Kind::Int, "int"},
        },
    .impl = set_initial_capital,
    .doc = R"doc(設定初始資金

        Args:
            capital (int): 初始資金
        )doc",
};

const MethodSpec pos_fetch_account_balance = {
    .name = "fetch_account_balance",
    .impl = current_capital,
    .doc = R"doc(取得帳戶餘額

        Returns:
            float: 帳戶餘額
        )doc",
    .returns = "float",
};

const MethodSpec pos_fetch_margin = {
    .name = "fetch_margin",
    .impl = current_capital,
    .doc = R"doc(取得保證金

        Returns:
            float: 保證金
        )doc",
    .returns = "float",
};

}  // namespace kob
