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

// One kind of work done in the background one piece at a time, where only
// the latest piece asked for matters (a copy of what the user chose last).
// A piece asked for while another is being done waits, in place of any that
// waited before it, and makes the one being done moot: `done` hears only of
// a piece after which nothing was asked. So asking again and again, as a
// held key does, never piles up work. Lives on the main thread.
template <typename T>
class LatestWork {
 public:
  void ask(std::function<T()> work, std::function<void(T)> done) {
    if (state_->busy) state_->waiting = Piece{std::move(work), std::move(done)};
    else start(state_, Piece{std::move(work), std::move(done)});
  }

 private:
  struct Piece {
    std::function<T()> work;
    std::function<void(T)> done;
  };
  struct State {
    bool busy = false;
    std::optional<Piece> waiting;
  };
  static void start(const std::shared_ptr<State>& state, Piece piece) {
    state->busy = true;
    run_in_background<T>(std::move(piece.work), [state, done = std::move(piece.done)](T made) {
      state->busy = false;
      if (auto next = std::exchange(state->waiting, std::nullopt)) return start(state, std::move(*next));
      done(std::move(made));
    });
  }
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace trellan
