// Tick-size rounding and slippage: the methods around the price ladder.
#include "ladder.hpp"

#include <climits>

#include "account.hpp"

namespace kob {

namespace {

using ladder::Band;
using ladder::Rounded;
using ladder::Status;

bool is_etf(PyObject* code) {
    return PyUnicode_GET_LENGTH(code) >= 2 && PyUnicode_READ_CHAR(code, 0) == '0' &&
           PyUnicode_READ_CHAR(code, 1) == '0';
}

[[noreturn]] void raise_status(Status s) {
    switch (s) {
        case Status::NaN: PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer"); break;
        case Status::Infinite: PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer"); break;
        default: PyErr_SetString(PyExc_OverflowError, "int too large to convert to float"); break;
    }
    throw py::error_already_set();
}

// The step as the host writes it: an int in the whole-number bands.
py::object step_object(const Rounded& r) {
    return steal(ladder::int_band(r.band) ? PyLong_FromDouble(r.step) : PyFloat_FromDouble(r.step));
}

// The host tuple (rounded price, step) of a rounding.
py::object rounded_tuple(const Rounded& r) {
    if (r.status != Status::Ok) raise_status(r.status);
    py::object price;
    if (!ladder::int_band(r.band)) {
        price = steal(PyFloat_FromDouble(r.price));
    } else if (r.band == Band::One || std::fabs(r.ceiled) <= 0x1p50) {
        // ceiled * 5 is exact below 2**50.
        price = steal(PyLong_FromDouble(r.price));
    } else {
        py::object units = steal(PyLong_FromDouble(r.ceiled));
        py::object five = steal(PyLong_FromLong(5));
        price = steal(PyNumber_Multiply(units.ptr(), five.ptr()));
    }
    return steal(PyTuple_Pack(2, price.ptr(), step_object(r).ptr()));
}

py::object ceil_price_by_tick(Call& c) {
    py::handle code = c[0];  // __ceil_price_by_tick(code, price)
    const double price = c.num(1);
    return rounded_tuple(ladder::ceil_price_by_tick(is_etf(code.ptr()), price));
}

// self.__ceil_price_by_tick(code, price) through the instance.
py::object ceil_via_instance(PyObject* self, PyObject* code, PyObject* price) {
    return call_method(self, name_on_instance(pos_ceil_price_by_tick), code, price);
}

// The element `k` of a rounding result, as a double.
double element_as_double(PyObject* seq, Py_ssize_t k) {
    py::object v = steal(PySequence_GetItem(seq, k));
    return account::float_arg(v.ptr());
}

// Ticks to walk from an exact int: none when not positive, every one when
// too large for 64 bits (the walk settles long before).
std::uint64_t step_count(PyObject* tick_count) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(tick_count, &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow > 0 ? UINT64_MAX : (n > 0 ? static_cast<std::uint64_t>(n) : 0);
}

// The loop of the walk, one call through the instance per rounding; taken
// when the rounding method is overridden or the direction is not a plain
// str.
double walk_via_instance(PyObject* self, PyObject* code, double price, PyObject* tick_count, PyObject* direction) {
    const std::uint64_t steps = step_count(tick_count);
    for (std::uint64_t k = 0; k < steps; ++k) {
        if ((k & 0xfffff) == 0xfffff) check(PyErr_CheckSignals());
        py::object r = ceil_via_instance(self, code, py::float_(price).ptr());
        // price, tick_step = <result>
        py::object items = steal(PySequence_Tuple(r.ptr()));
        const Py_ssize_t len = PyTuple_GET_SIZE(items.ptr());
        if (len != 2) {
            if (len > 2)
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            else
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", len);
            throw py::error_already_set();
        }
        price = account::float_arg(PyTuple_GET_ITEM(items.ptr(), 0));
        py::handle tick_step = PyTuple_GET_ITEM(items.ptr(), 1);
        int up = PyObject_RichCompareBool(direction, KOB_STR("up"), Py_EQ);
        check(up);
        py::float_ held(price);
        py::object moved =
            steal(up ? PyNumber_Add(held.ptr(), tick_step.ptr()) : PyNumber_Subtract(held.ptr(), tick_step.ptr()));
        py::object r2 = ceil_via_instance(self, code, moved.ptr());
        price = element_as_double(r2.ptr(), 0);
    }
    return price;
}

double walk(account::Ctx& ctx, PyObject* code, double price, PyObject* tick_count, PyObject* direction) {
    if (!PyUnicode_CheckExact(direction) || !ctx.own(account::Private::Ceil, pos_ceil_price_by_tick))
        return walk_via_instance(ctx.self, code, price, tick_count, direction);
    std::uint64_t left = step_count(tick_count);
    const bool up = PyUnicode_Compare(direction, KOB_STR("up")) == 0;
    const bool etf = is_etf(code);
    // In slices, so that a very long walk can be interrupted.
    constexpr std::uint64_t kSlice = 1u << 22;
    while (left > 0) {
        const std::uint64_t now = left < kSlice ? left : kSlice;
        ladder::Walk w = ladder::slippage_walk(etf, price, now, up);
        if (w.status != Status::Ok) raise_status(w.status);
        price = w.price;
        if (w.settled) break;
        left -= now;
        if (left) check(PyErr_CheckSignals());
    }
    return price;
}

py::object calculate_slippage_price(Call& c) {
    account::Ctx ctx(c.globals, c.self);
    // __calculate_slippage_price(code, price, tick_count, direction)
    py::handle code = c[0], tick_count = c[2], direction = c[3];
    const double price = c.num(1);
    return py::float_(walk(ctx, code.ptr(), price, tick_count.ptr(), direction.ptr()));
}

}  // namespace

namespace account {

double float_arg(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

double slippage_price(Ctx& ctx, PyObject* code, double price, PyObject* tick_count, PyObject* direction) {
    if (ctx.own(Private::Slippage, pos_calculate_slippage_price)) {
        if (!PyLong_CheckExact(tick_count)) raise_arg_type("tick_count", "int", tick_count);
        return walk(ctx, code, price, tick_count, direction);
    }
    py::float_ p(price);
    py::object r =
        call_method(ctx.self, name_on_instance(pos_calculate_slippage_price), code, p, tick_count, direction);
    return float_arg(r.ptr());
}

}  // namespace account

const MethodSpec pos_ceil_price_by_tick = {
    .name = "__ceil_price_by_tick",
    .params =
        {
            {"code", Kind::Str, "str"},
            {"price", Kind::Float, "float"},
        },
    .impl = ceil_price_by_tick,
    .doc = R"doc(依照股票的價格區間, 將價格向上取整

        Args:
            price (float): 價格

        Returns:
            tuple(float, float): 取整後的價格, Tick 間隔
        )doc",
    .returns = "tuple",
};

const MethodSpec pos_calculate_slippage_price = {
    .name = "__calculate_slippage_price",
    .params =
        {
            {"code", Kind::Str, "str"},
            {"price", Kind::Float, "float"},
            {"tick_count", Kind::Int, "int"},
            {"direction", Kind::Any, "Literal['up', 'down']"},
        },
    .impl = calculate_slippage_price,
    .doc = R"doc(計算滑價後的價格

        Args:
            price (float): 價格
            tick_count (int): 要滑價多少個 Tick
            direction (Literal["up", "down"]): 滑價方向

        Returns:
            float: 滑價後的價格
        )doc",
    .returns = "float",
};

}  // namespace kob
