// Method tables of the two classes, in registration order.
#pragma once

#include "common.hpp"

namespace kob {

extern const MethodSpec qm_init;
extern const MethodSpec qm_get_init_ticks_info;
extern const MethodSpec qm_get_empty_tick_df;
extern const MethodSpec qm_clear_ticks;
extern const MethodSpec qm_add_tick;
extern const MethodSpec qm_aggregate_kbar;
extern const MethodSpec qm_poped_tick_to_df;
extern const MethodSpec qm_poped_old_ticks_to_df;
extern const MethodSpec qm_get_kbar;
extern const MethodSpec pos_init;
extern const MethodSpec pos_init_account_info;
extern const MethodSpec pos_generate_save_path;
extern const MethodSpec pos_make_trade_record;
extern const MethodSpec pos_apply_future_contract_value;
extern const MethodSpec pos_ceil_price_by_tick;
extern const MethodSpec pos_calculate_slippage_price;
extern const MethodSpec pos_calculate_trade_cost;
extern const MethodSpec pos_calculate_profit;
extern const MethodSpec pos_format_position_summary;
extern const MethodSpec pos_format_position_detail;
extern const MethodSpec pos_fee_settings;
extern const MethodSpec pos_reset_fee_settings;
extern const MethodSpec pos_update_fee_settings;
extern const MethodSpec pos_set_current_tick;
extern const MethodSpec pos_add_trade_record;
extern const MethodSpec pos_set_positions;
extern const MethodSpec pos_fetch_positions;
extern const MethodSpec pos_add_positions_to_queue;
extern const MethodSpec pos_pop_positions;
extern const MethodSpec pos_add_finish_notify_to_queue;
extern const MethodSpec pos_pop_finish_notify;
extern const MethodSpec pos_export_trade_records;
extern const MethodSpec pos_get_profit_rows_by_code;
extern const MethodSpec pos_generate_standard_report;
extern const MethodSpec pos_generate_qs_profit_report;
extern const MethodSpec pos_set_initial_capital;
extern const MethodSpec pos_fetch_account_balance;
extern const MethodSpec pos_fetch_margin;

}  // namespace kob
