// Internal state of the logger shared with the fatal path.
#pragma once

namespace qor::detail {

// True while this thread is inside the logger's delivery of a record (in a target's write).
// The logger cannot take another record there: its lock is held.
bool InsideLogDelivery();

}  // namespace qor::detail
