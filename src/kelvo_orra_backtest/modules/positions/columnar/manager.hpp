// The columnar quote manager as the interpreter sees it.
#pragma once

#include "../common.hpp"

namespace kob::columnar {

// Creates the ColumnarQuoteManager class for the module `module` (whose
// namespace holds the globals its methods read).
py::object make_class(py::handle module, py::handle globals, py::handle module_name);

}  // namespace kob::columnar
