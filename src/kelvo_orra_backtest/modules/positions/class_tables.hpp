// The one place where methods are registered: the member tables of the two
// classes, in registration order (the order of the class dictionaries).
// Included by the module entry only.
//
// Adding a method:
//   1. Write its implementation and its `MethodSpec` table (name, parameters
//      with kinds, annotations and defaults, doc, return annotation) side by
//      side in the subsystem's source file, its arguments bound by name in
//      a small struct beside the table.
//   2. Declare its `MethodSpec` `extern` in the subsystem's header.
//   3. Add it to the class's table below, where it stands in the class body.
//   4. Add it to the type stub (positions.pyi); tests/test_stubs.py checks the
//      stub against the live class.
#pragma once

#include "account/account.hpp"
#include "queries/queries.hpp"
#include "quotes/quotes.hpp"
#include "reports/reports.hpp"

namespace kob {

inline const MethodSpec* const kQuoteManagerMethods[] = {
    &qm_init,           &qm_get_init_ticks_info, &qm_get_empty_tick_df,     &qm_clear_ticks, &qm_add_tick,
    &qm_aggregate_kbar, &qm_poped_tick_to_df,    &qm_poped_old_ticks_to_df, &qm_get_kbar,
};

inline const MethodSpec* const kPositionsMethods[] = {
    &pos_init,
    &pos_init_account_info,
    &pos_generate_save_path,
    &pos_make_trade_record,
    &pos_apply_future_contract_value,
    &pos_ceil_price_by_tick,
    &pos_calculate_slippage_price,
    &pos_calculate_trade_cost,
    &pos_calculate_profit,
    &pos_format_position_summary,
    &pos_format_position_detail,
    &pos_fee_settings,
    &pos_reset_fee_settings,
    &pos_update_fee_settings,
    &pos_set_current_tick,
    &pos_add_trade_record,
    &pos_set_positions,
    &pos_fetch_positions,
    &pos_add_positions_to_queue,
    &pos_pop_positions,
    &pos_add_finish_notify_to_queue,
    &pos_pop_finish_notify,
    &pos_export_trade_records,
    &pos_get_profit_rows_by_code,
    &pos_generate_standard_report,
    &pos_generate_qs_profit_report,
    &pos_set_initial_capital,
    &pos_fetch_account_balance,
    &pos_fetch_margin,
};

}  // namespace kob
