// Internals of the runner that its tests reach into.
#pragma once

#include <string>

namespace trellan::detail {

// "Permission denied (os error 13)": the system's English description of an
// error number, whatever the process locale, followed by the number.
std::string os_error_text(int err);

// Fault injection for tests: the next `successes` threads that runs start are
// created as usual and the one after them fails as if the system had no
// resources left (EAGAIN). A negative value switches the fault off.
void fail_thread_start_after(int successes);

// Fault injection for tests: the next run to wait for its child sees the wait
// fail, as if the child's status had been taken by someone else. The child is
// still reaped.
void fail_next_wait();

// Fault injection for tests: reading the next standard-output line of any
// run throws, as running out of memory would.
void fail_next_output_line();

}  // namespace trellan::detail
