// Shared pieces of position accounting.
#pragma once

#include "../common.hpp"

namespace kob::account {

// A new fee-settings table with the default rates and the given fixed cost.
py::object make_default_fee_settings(long per_trade_cost);

}  // namespace kob::account
