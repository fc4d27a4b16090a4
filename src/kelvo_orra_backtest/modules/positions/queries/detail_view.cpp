// The detail view: one row per open entry of each code of the product type,
// with its unrealised profit at the latest tick (the book is read through
// book_view.hpp).
#include "book_view.hpp"

namespace kob {

namespace views {

namespace {

class DetailView : BookView {
public:
    using BookView::BookView;

    py::object run() {
        return each_code([this](py::handle code, py::list& result) { detail_rows(code, result); });
    }

private:
    py::object detail_template_;

    // One detail row per open entry of the code.
    void detail_rows(py::handle code, py::list& result) {
        py::object book = begin_code(code);
        for_each_entry(book, [&](py::handle entry, bool short_side) {
            Slot qty_slot, price_slot, type_slot, date_slot, id_slot;
            if (is_zero(read(entry, KOB_STR("quantity"), qty_slot))) return;
            std::int64_t unit_small = 0;
            bool unit_is_small = false;
            py::handle product_type = read(entry, KOB_STR("product_type"), type_slot);
            py::object unit_obj = unit(product_type, unit_small, unit_is_small);
            py::object pnl;
            if (truthy(tick())) {
                pnl = entry_pnl(entry, short_side, price_slot, qty_slot, unit_obj, unit_small, unit_is_small).py();
            } else {
                pnl = new_int(0);
                print_no_tick();
            }
            py::handle date = read(entry, KOB_STR("exchange_ts"), date_slot);
            py::handle quantity = read(entry, KOB_STR("quantity"), qty_slot);
            py::handle cost = read(entry, KOB_STR("price"), price_slot);
            py::handle trade_id = read(entry, KOB_STR("trade_id"), id_slot);
            if (!detail_template_) {
                detail_template_ = steal(PyDict_New());
                py::object zero = new_int(0);
                for (PyObject* key :
                     {KOB_STR("date"), KOB_STR("code"), KOB_STR("quantity"), KOB_STR("cost"), KOB_STR("pnl")})
                    set(detail_template_, key, Py_None);
                set(detail_template_, KOB_STR("fee"), zero);
                set(detail_template_, KOB_STR("trade_id"), Py_None);
                if (stock_request_) {
                    set(detail_template_, KOB_STR("margin_purchase_amount"), zero);
                    set(detail_template_, KOB_STR("collateral"), zero);
                }
            }
            py::object row = steal(PyDict_Copy(detail_template_.ptr()));
            set(row, KOB_STR("date"), date);
            set(row, KOB_STR("code"), code);
            set(row, KOB_STR("quantity"), quantity);
            set(row, KOB_STR("cost"), cost);
            set(row, KOB_STR("pnl"), pnl);
            set(row, KOB_STR("trade_id"), trade_id);
            check(PyList_Append(result.ptr(), row.ptr()));
        });
    }
};

py::object format_position_detail(Call& c) { return DetailView(c).run(); }

}  // namespace

}  // namespace views

const MethodSpec pos_format_position_detail =
    views::view_method("__format_position_detail", views::format_position_detail,
                       R"doc(格式化庫存資訊(明細)：股票或期貨

        Args:
            product_type (str): 商品類型

        Returns:
            List[Dict[str, Any]]: 庫存資訊
        )doc");

}  // namespace kob
