// Reading the position book for the position views: the codes of a product
// type, each code's side book and latest tick, the unit value of an entry and
// its unrealised profit.  The summary (summary_view.cpp) and the detail
// (detail_view.cpp) build their rows on it.
//
// The views follow the host's number arithmetic exactly.  The common book
// (exact dicts and lists, float prices and closes, small int quantities and
// unit values) is walked without calling back into Python: the arithmetic is
// done on doubles where that gives the interpreter's own result, and values
// read from an entry are reused while no outside code has run.  Anything else
// (other number types, mapping subclasses, an overridden contract-value
// lookup, a console that changes the book) goes through the generic C API, in
// the order in which the values are read and combined.
#pragma once

#include "../account/account.hpp"
#include "pnl.hpp"
#include "queries.hpp"

#include <cstdint>

namespace kob::views {

inline constexpr const char* kNoTickMessage = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]";

bool plain_number(PyObject* o) { return PyLong_CheckExact(o) || PyFloat_CheckExact(o); }

// The value of an exact int whose magnitude converts to a double exactly.
bool small_int(PyObject* o, std::int64_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || !views::exact_in_double(v)) return false;
    out = v;
    return true;
}

py::object new_float(double v) { return steal(PyFloat_FromDouble(v)); }
py::object new_int(std::int64_t v) { return steal(PyLong_FromLongLong(v)); }

// A number that is either an exact float held as a double or any object.
struct ViewNum {
    py::object obj;  // null while the value is the double below
    double d = 0.0;

    static ViewNum of(double v) { return ViewNum{py::object(), v}; }
    static ViewNum of(py::object o) { return ViewNum{std::move(o), 0.0}; }
    py::object py() const { return obj ? obj : new_float(d); }
};

// A value read from a mapping, reused while no outside code has run since.
struct Slot {
    py::object value;
    std::uint64_t epoch = ~std::uint64_t{0};
};

// A view's method: one argument, the product type; the rows as a list.
inline MethodSpec view_method(const char* name, Impl impl, const char* doc) {
    return {
        .name = name,
        .params =
            {
                {"product_type", Kind::Str, "str"},
            },
        .impl = impl,
        .doc = doc,
        .returns = "List[Dict[str, Any]]",
    };
}

// State of one call of a view.
class BookView {
public:
    explicit BookView(Call& c) : c_(c), self_(c.self), product_type_(c[0]) {
        stock_request_ = PyUnicode_Compare(product_type_.ptr(), KOB_STR(domain::kStock)) == 0;
    }

protected:
    // The rows that `rows(code, result)` appends for each code of the product
    // type asked for, in the order of the book.
    template <typename Rows>
    py::object each_code(Rows&& rows) {
        py::list result;
        py::object codes = target_codes();
        const Py_ssize_t n = PyList_GET_SIZE(codes.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object code = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(codes.ptr(), i));
            rows(code, result);
        }
        return result;
    }

    Call& c_;
    py::handle self_;
    py::handle product_type_;
    bool stock_request_ = false;
    std::uint64_t epoch_ = 0;  // raised whenever outside code may have run

    // Per code.
    py::object code_;
    Slot tick_;
    Slot close_;
    Slot positions_attr_;
    Slot ticks_attr_;
    // The code's contract value from the built-in lookup, while still valid.
    py::object contract_value_;
    std::int64_t contract_small_ = 0;
    bool contract_is_small_ = false;
    std::uint64_t contract_epoch_ = ~std::uint64_t{0};
    std::uint64_t builtin_lookup_epoch_ = ~std::uint64_t{0};

    void foreign() { ++epoch_; }

    // mapping[key]; the slot keeps the value, which stays valid until the
    // slot is read again.
    py::handle read(py::handle mapping, PyObject* key, Slot& slot) {
        if (slot.value && slot.epoch == epoch_) return slot.value;
        const bool exact = PyDict_CheckExact(mapping.ptr());
        slot.value = item(mapping, key);
        if (!exact) foreign();
        slot.epoch = epoch_;
        return slot.value;
    }

    // self.<name>, read again whenever outside code has run.
    py::handle self_attr(PyObject* name, Slot& slot) {
        if (slot.value && slot.epoch == epoch_) return slot.value;
        const bool plain = Py_TYPE(self_.ptr())->tp_getattro == PyObject_GenericGetAttr;
        slot.value = attr(self_, name);
        if (!plain) foreign();
        slot.epoch = epoch_;
        return slot.value;
    }

    // a == b with b an exact str.
    bool equals_text(py::handle a, PyObject* b) {
        if (PyUnicode_CheckExact(a.ptr())) return a.ptr() == b || PyUnicode_Compare(a.ptr(), b) == 0;
        foreign();
        py::object r = steal(PyObject_RichCompare(a.ptr(), b, Py_EQ));
        const int t = PyObject_IsTrue(r.ptr());
        check(t);
        return t != 0;
    }

    // a == 0, a > 0 and the like for the host.
    bool compare_int(py::handle a, int op) {
        if (!plain_number(a.ptr())) foreign();
        py::object zero = new_int(0);
        const int t = PyObject_RichCompareBool(a.ptr(), zero.ptr(), op);
        check(t);
        return t != 0;
    }

    bool is_zero(py::handle q) {
        if (PyLong_CheckExact(q.ptr())) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(q.ptr(), &overflow);
            return !overflow && v == 0;
        }
        if (PyFloat_CheckExact(q.ptr())) return PyFloat_AS_DOUBLE(q.ptr()) == 0.0;
        return compare_int(q, Py_EQ);
    }

    bool truthy(py::handle v) {
        if (v.ptr() == Py_None) return false;
        if (PyDict_CheckExact(v.ptr())) return PyDict_GET_SIZE(v.ptr()) > 0;
        foreign();
        const int t = PyObject_IsTrue(v.ptr());
        check(t);
        return t != 0;
    }

    py::object binary(binaryfunc op, py::handle a, py::handle b) {
        if (!plain_number(a.ptr()) || !plain_number(b.ptr())) foreign();
        return steal(op(a.ptr(), b.ptr()));
    }

    // [code for code in self.positions if self.product_type_mapper[code] == product_type]
    py::object target_codes() {
        py::object positions = attr(self_, KOB_STR("positions"));
        py::object mapper = attr(self_, KOB_STR("product_type_mapper"));
        py::object keys;
        if (PyDict_CheckExact(positions.ptr())) {
            keys = steal(PyDict_Keys(positions.ptr()));
        } else {
            foreign();
            keys = steal(PySequence_List(positions.ptr()));
        }
        py::list codes;
        const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::handle code = PyList_GET_ITEM(keys.ptr(), i);
            if (!PyDict_CheckExact(mapper.ptr())) foreign();
            py::object type = item(mapper, code);
            if (equals_text(type, product_type_.ptr())) check(PyList_Append(codes.ptr(), code.ptr()));
        }
        return codes;
    }

    // Starts a code: stores None as its tick when it has none yet and
    // returns its side book.
    py::object begin_code(py::handle code) {
        code_ = py::reinterpret_borrow<py::object>(code);
        tick_ = Slot();
        close_ = Slot();
        contract_value_ = py::object();
        contract_epoch_ = ~std::uint64_t{0};
        py::handle ticks = self_attr(KOB_STR("current_tick_infos"), ticks_attr_);
        int has;
        if (PyDict_CheckExact(ticks.ptr())) {
            has = PyDict_Contains(ticks.ptr(), code.ptr());
        } else {
            foreign();
            has = PySequence_Contains(ticks.ptr(), code.ptr());
        }
        check(has);
        if (!has) {
            if (!PyDict_CheckExact(ticks.ptr())) foreign();
            set_item(ticks, code, Py_None);
        }
        py::handle positions = self_attr(KOB_STR("positions"), positions_attr_);
        const bool exact = PyDict_CheckExact(positions.ptr());
        py::object book = item(positions, code);
        if (!exact) foreign();
        return book;
    }

    // self.current_tick_infos[code]
    py::handle tick() {
        if (tick_.value && tick_.epoch == epoch_) return tick_.value;
        py::handle ticks = self_attr(KOB_STR("current_tick_infos"), ticks_attr_);
        py::handle value = read(ticks, code_.ptr(), tick_);
        close_ = Slot();
        return value;
    }

    py::handle close() { return read(tick(), KOB_STR("close"), close_); }

    // book.get(side, [])
    py::object side_list(py::handle book, PyObject* side) {
        if (PyDict_CheckExact(book.ptr())) {
            PyObject* v = PyDict_GetItemWithError(book.ptr(), side);
            if (v) return py::reinterpret_borrow<py::object>(v);
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::list();
        }
        foreign();
        py::list empty;
        PyObject* args[] = {book.ptr(), side, empty.ptr()};
        return steal(PyObject_VectorcallMethod(KOB_STR("get"), args, 3, nullptr));
    }

    // Calls fn(entry, short_side) for every entry of the "buy" then the
    // "sell" list, as a for loop over each list would see them.
    template <typename Fn>
    void for_each_entry(py::handle book, Fn&& fn) {
        for (PyObject* side : {KOB_STR("buy"), KOB_STR("sell")}) {
            const bool short_side = side != KOB_STR("buy");
            py::object entries = side_list(book, side);
            if (PyList_CheckExact(entries.ptr())) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
                    py::object entry = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(entries.ptr(), i));
                    fn(entry, short_side);
                }
            } else {
                foreign();
                py::object it = steal(PyObject_GetIter(entries.ptr()));
                while (PyObject* next = PyIter_Next(it.ptr())) {
                    py::object entry = steal(next);
                    fn(entry, short_side);
                    foreign();
                }
                if (PyErr_Occurred()) throw py::error_already_set();
            }
        }
    }

    // Unit value of an entry: 1000 for "Stock", the contract value of the
    // code for "Future".  `small` is set when the unit is a small exact int.
    py::object unit(py::handle product_type, std::int64_t& small, bool& is_small) {
        // An interned "Future" skips the text comparison with "Stock".
        const bool future = product_type.ptr() == KOB_STR(domain::kFuture);
        if (!future && equals_text(product_type, KOB_STR(domain::kStock))) {
            small = domain::kSharesPerLot;
            is_small = true;
            return py::object();  // created only when the generic path needs it
        }
        if (!future && !equals_text(product_type, KOB_STR(domain::kFuture)))
            raise_with_value(PyExc_Exception, KOB_STR("不支援的商品類型: "), product_type);
        if (contract_value_ && contract_epoch_ == epoch_) {
            small = contract_small_;
            is_small = contract_is_small_;
            return contract_value_;
        }
        py::object method;
        const bool plain_getattr = Py_TYPE(self_.ptr())->tp_getattro == PyObject_GenericGetAttr;
        if (!plain_getattr) foreign();
        py::object value;
        // Whether the lookup is the module's own is known until outside code runs.
        bool builtin = builtin_lookup_epoch_ == epoch_;
        if (!builtin) {
            builtin = is_own_method(self_.ptr(), pos_apply_future_contract_value);
            if (builtin && plain_getattr) builtin_lookup_epoch_ = epoch_;
        }
        if (builtin && PyUnicode_CheckExact(code_.ptr())) {
            // The module's lookup: FutureIndexContractValue[code], else 2000.
            py::object table = c_.global(KOB_STR("FutureIndexContractValue"));
            if (PyDict_CheckExact(table.ptr())) {
                PyObject* v = PyDict_GetItemWithError(table.ptr(), code_.ptr());
                if (!v && PyErr_Occurred()) throw py::error_already_set();
                value = v ? py::reinterpret_borrow<py::object>(v) : new_int(domain::kDefaultContractValue);
            }
        }
        if (value && plain_getattr) {
            contract_value_ = value;
            contract_is_small_ = small_int(value.ptr(), contract_small_);
            contract_epoch_ = epoch_;
        } else if (!value) {
            if (!method) method = attr(self_, name_on_instance(pos_apply_future_contract_value));
            foreign();
            value = steal(PyObject_CallOneArg(method.ptr(), code_.ptr()));
        }
        is_small = small_int(value.ptr(), small);
        return value;
    }

    // Unrealised profit of one entry: (diff * quantity) * unit with diff the
    // close minus the entry price, negated for a short entry.
    ViewNum entry_pnl(py::handle entry, bool short_side, Slot& price_slot, Slot& qty_slot, py::handle unit_obj,
                      std::int64_t unit_small, bool unit_is_small) {
        py::handle close_v = close();
        py::handle price = read(entry, KOB_STR("price"), price_slot);
        py::handle qty = read(entry, KOB_STR("quantity"), qty_slot);
        std::int64_t q = 0;
        if (unit_is_small && PyFloat_CheckExact(close_v.ptr()) && PyFloat_CheckExact(price.ptr()) &&
            small_int(qty.ptr(), q))
            return ViewNum::of(views::entry_pnl(PyFloat_AS_DOUBLE(close_v.ptr()), PyFloat_AS_DOUBLE(price.ptr()), q,
                                                unit_small, short_side));
        py::object unit_v = unit_obj ? py::reinterpret_borrow<py::object>(unit_obj) : new_int(unit_small);
        py::object diff = binary(PyNumber_Subtract, close_v, price);
        if (short_side) {
            if (!plain_number(diff.ptr())) foreign();
            diff = steal(PyNumber_Negative(diff.ptr()));
        }
        py::object per_unit = binary(PyNumber_Multiply, diff, qty);
        return ViewNum::of(binary(PyNumber_Multiply, per_unit, unit_v));
    }

    void print_no_tick() {
        console_print(c_, KOB_STR(kNoTickMessage));
        foreign();
    }

    static void set(py::handle row, PyObject* key, py::handle value) {
        check(PyDict_SetItem(row.ptr(), key, value.ptr()));
    }
};

}  // namespace kob::views
