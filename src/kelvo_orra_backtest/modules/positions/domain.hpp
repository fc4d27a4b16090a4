// Figures of the Taiwan markets that several subsystems share.  No Python.
#pragma once

#include <cstdint>

namespace kob::domain {

// Product types, as callers name them.
inline constexpr const char* kStock = "Stock";
inline constexpr const char* kFuture = "Future";

// Shares in one lot of a stock: the unit value of a stock position.
inline constexpr std::int64_t kSharesPerLot = 1000;

// Value of one point of a future that the contract-value table does not
// list: a stock future, 2000 shares of its stock.
inline constexpr std::int64_t kDefaultContractValue = 2000;

// The default fee table: commission and tax rates per product type, and
// the slippage of every fill in ticks of the price ladder.
inline constexpr double kStockFeeRate = 0.001425;
inline constexpr double kStockTaxRate = 0.003;
inline constexpr double kFutureFeeRate = 2e-05;
inline constexpr double kFutureTaxRate = 2e-05;
inline constexpr long kDefaultSlippageTicks = 3;
inline constexpr long kDefaultPerTradeCost = 10;

}  // namespace kob::domain
