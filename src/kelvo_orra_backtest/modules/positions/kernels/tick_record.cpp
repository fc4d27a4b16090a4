#include "tick_record.hpp"

#include <utility>

namespace kob::kernels {

py::list tick_schema(py::handle pl) {
    py::list schema;
    const std::pair<PyObject*, PyObject*> cols[] = {
        {KOB_STR("dt"), KOB_STR("Datetime")},         {KOB_STR("market_type"), KOB_STR("Utf8")},
        {KOB_STR("code"), KOB_STR("Utf8")},           {KOB_STR("close"), KOB_STR("Float64")},
        {KOB_STR("qty"), KOB_STR("Int64")},           {KOB_STR("tick_type"), KOB_STR("Int8")},
        {KOB_STR("is_simulate"), KOB_STR("Boolean")}, {KOB_STR("is_virtual"), KOB_STR("Boolean")},
    };
    for (const auto& [name, dtype] : cols) schema.append(py::make_tuple(py::handle(name), attr(pl, dtype)));
    return schema;
}

}  // namespace kob::kernels
