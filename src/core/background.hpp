// Work that would hold up a window's main loop, done on a thread of its own
// and handed back to the loop it came from.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace trellan {

// Runs `work` on a thread of its own, then `done` in a later turn of the
// thread-default main context this was called from (never before this
// returns). Whatever `work` wrote is seen by `done`. The default
// application, if any, is held until `done` has run, so that closing the
// last window does not cut the work short. `work` must not touch what the
// main thread may change meanwhile: it gets copies, or data no one changes.
void run_in_background(std::function<void()> work, std::function<void()> done);

// The same, handing what `work` makes to `done`.
template <typename T>
void run_in_background(std::function<T()> work, std::function<void(T)> done) {
  auto made = std::make_shared<std::optional<T>>();
  run_in_background([made, work = std::move(work)] { made->emplace(work()); },
                    [made, done = std::move(done)] { done(std::move(**made)); });
}

}  // namespace trellan
