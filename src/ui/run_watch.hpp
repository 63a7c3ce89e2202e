// Internals of the task that follows a run's events, for its tests.
#pragma once

namespace trellan::detail {

// Fault injection for tests: applying the next event delivered to any run's
// task throws, as an unexpected failure in the window would.
void fail_next_event_delivery();

}  // namespace trellan::detail
