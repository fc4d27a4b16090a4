// The position views and the request queues: the methods of this folder.
#pragma once

#include "../common.hpp"
#include "../domain.hpp"

namespace kob {

extern const MethodSpec pos_format_position_summary;
extern const MethodSpec pos_format_position_detail;
extern const MethodSpec pos_fetch_positions;
extern const MethodSpec pos_add_positions_to_queue;
extern const MethodSpec pos_pop_positions;
extern const MethodSpec pos_add_finish_notify_to_queue;
extern const MethodSpec pos_pop_finish_notify;

}  // namespace kob
