// The summary view: one row per code of the product type that holds an open
// quantity, with its average price and its unrealised profit at the latest
// tick (the book is read through book_view.hpp).
#include "book_view.hpp"

namespace kob {

namespace views {

namespace {

class SummaryView : BookView {
public:
    using BookView::BookView;

    py::object run() {
        return each_code([this](py::handle code, py::list& result) { summary_row(code, result); });
    }

private:
    Slot cond_;
    py::object summary_template_;

    // One summary row for the code, when it holds an open quantity.
    void summary_row(py::handle code, py::list& result) {
        py::object book = begin_code(code);
        // quantity, the quantity-weighted price sum and pnl, each starting as the int 0
        std::int64_t qty_small = 0;
        py::object qty_obj;
        views::DoubleSum weighted_fast, pnl_fast;
        py::object weighted_obj, pnl_obj;

        // A sum as an object: the object it became, or its double, or the int 0.
        auto total = [](const views::DoubleSum& fast, const py::object& obj) {
            return obj ? obj : (fast.touched ? new_float(fast.value) : new_int(0));
        };
        auto add = [this, &total](views::DoubleSum& fast, py::object& obj, const ViewNum& term) {
            if (!obj && !term.obj) {
                fast.add(term.d);
                return;
            }
            py::object current = total(fast, obj);
            obj = binary(PyNumber_InPlaceAdd, current, term.py());
            if (PyFloat_CheckExact(obj.ptr())) {
                fast.value = PyFloat_AS_DOUBLE(obj.ptr());
                fast.touched = true;
                obj = py::object();
            }
        };

        for_each_entry(book, [&](py::handle entry, bool short_side) {
            Slot qty_slot, price_slot, type_slot;
            py::handle qty = read(entry, KOB_STR("quantity"), qty_slot);
            if (is_zero(qty)) return;
            // quantity += entry["quantity"]
            qty = read(entry, KOB_STR("quantity"), qty_slot);
            std::int64_t q = 0;
            if (qty_obj || !small_int(qty.ptr(), q) || !views::add_int64(qty_small, q)) {
                py::object current = qty_obj ? qty_obj : new_int(qty_small);
                qty_obj = binary(PyNumber_InPlaceAdd, current, qty);
            }
            // weighted += entry["price"] * entry["quantity"]
            py::handle price = read(entry, KOB_STR("price"), price_slot);
            qty = read(entry, KOB_STR("quantity"), qty_slot);
            if (PyFloat_CheckExact(price.ptr()) && small_int(qty.ptr(), q))
                add(weighted_fast, weighted_obj, ViewNum::of(PyFloat_AS_DOUBLE(price.ptr()) * static_cast<double>(q)));
            else
                add(weighted_fast, weighted_obj, ViewNum::of(binary(PyNumber_Multiply, price, qty)));

            if (truthy(tick())) {
                std::int64_t unit_small = 0;
                bool unit_is_small = false;
                py::handle product_type = read(entry, KOB_STR("product_type"), type_slot);
                py::object unit_obj = unit(product_type, unit_small, unit_is_small);
                add(pnl_fast, pnl_obj,
                    entry_pnl(entry, short_side, price_slot, qty_slot, unit_obj, unit_small, unit_is_small));
            } else {
                print_no_tick();
            }
        });

        py::object quantity = qty_obj ? qty_obj : new_int(qty_small);
        const bool small_qty = !qty_obj;
        if (small_qty ? qty_small == 0 : compare_int(quantity, Py_EQ)) return;

        py::object avg_price;
        if (small_qty ? qty_small > 0 : compare_int(quantity, Py_GT)) {
            py::object average;
            if (!weighted_obj && small_qty && views::exact_in_double(qty_small))
                average =
                    new_float((weighted_fast.touched ? weighted_fast.value : 0.0) / static_cast<double>(qty_small));
            else
                average = binary(PyNumber_TrueDivide, total(weighted_fast, weighted_obj), quantity);
            avg_price = host_round(average);
        } else {
            avg_price = new_int(0);
        }
        py::object pnl = total(pnl_fast, pnl_obj);

        if (!summary_template_) {
            // Rows are copies of one dict with the keys in row order, so each
            // row is built without growing its table.
            summary_template_ = steal(PyDict_New());
            py::object zero = new_int(0);
            for (PyObject* key : {KOB_STR("code"), KOB_STR("quantity"), KOB_STR("avg_price"), KOB_STR("pnl")})
                set(summary_template_, key, Py_None);
            if (stock_request_) {
                set(summary_template_, KOB_STR("cond"), Py_None);
                for (PyObject* key : {KOB_STR("margin_purchase_amount"), KOB_STR("collateral"),
                                      KOB_STR("short_sale_margin"), KOB_STR("interest")})
                    set(summary_template_, key, zero);
            }
        }
        py::object row = steal(PyDict_Copy(summary_template_.ptr()));
        set(row, KOB_STR("code"), code);
        set(row, KOB_STR("quantity"), quantity);
        set(row, KOB_STR("avg_price"), avg_price);
        set(row, KOB_STR("pnl"), pnl);
        if (stock_request_) set(row, KOB_STR("cond"), cash_cond());
        check(PyList_Append(result.ptr(), row.ptr()));
    }

    // OrderCond.CASH, read again whenever outside code has run.
    py::object cash_cond() {
        if (cond_.value && cond_.epoch == epoch_) return cond_.value;
        py::object order_cond = c_.global(KOB_STR("OrderCond"));
        cond_.value = attr(order_cond, KOB_STR("CASH"));
        cond_.epoch = epoch_;
        return cond_.value;
    }

    // round(x, 2) with the host's built-in round (computed here for a float).
    py::object host_round(py::handle x) {
        if (PyFloat_CheckExact(x.ptr())) return new_float(views::round_2(PyFloat_AS_DOUBLE(x.ptr())));
        foreign();
        PyObject* builtins = PyEval_GetBuiltins();
        PyObject* round = builtins ? PyDict_GetItemWithError(builtins, KOB_STR("round")) : nullptr;
        if (!round) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'round' is not defined");
            throw py::error_already_set();
        }
        py::object fn = py::reinterpret_borrow<py::object>(round);
        py::object two = new_int(2);
        PyObject* args[] = {x.ptr(), two.ptr()};
        return steal(PyObject_Vectorcall(fn.ptr(), args, 2, nullptr));
    }
};

py::object format_position_summary(Call& c) { return SummaryView(c).run(); }

}  // namespace

}  // namespace views

const MethodSpec pos_format_position_summary =
    views::view_method("__format_position_summary", views::format_position_summary,
                       R"doc(格式化庫存資訊(總計)：股票或期貨

        Args:
            product_type (str): 商品類型

        Returns:
            List[Dict[str, Any]]: 庫存資訊
        )doc");

}  // namespace kob
