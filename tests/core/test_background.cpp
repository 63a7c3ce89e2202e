// Work asked of the background again and again, as a held key asks for
// copies: one piece is done at a time, and only the last one asked for is
// told of.
#include "core/background.hpp"

#include <gtest/gtest.h>
#include <glib.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

namespace trellan {
namespace {

bool pump_until(const std::function<bool()>& done) {
  const gint64 until = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (!done() && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE);
  return done();
}

TEST(LatestWork, OnePieceAtATimeAndOnlyTheLastAskedForIsTold) {
  LatestWork<std::string> work;
  std::vector<std::string> told;
  std::atomic<int> running{0}, most_at_once{0};
  std::atomic<bool> second_ran{false};
  const auto tell = [&told](std::string made) { told.push_back(std::move(made)); };
  const auto piece = [&](std::string name, std::shared_future<void> go) {
    return [&, name, go]() {
      most_at_once = std::max(most_at_once.load(), ++running);
      go.wait();
      --running;
      if (name == "second") second_ran = true;
      return name;
    };
  };
  std::promise<void> release;
  const std::shared_future<void> go = release.get_future().share();
  std::promise<void> now;
  now.set_value();
  const std::shared_future<void> at_once = now.get_future().share();

  // The first is being done (and held) when the second and third are asked.
  work.ask(piece("first", go), tell);
  work.ask(piece("second", at_once), tell);
  work.ask(piece("third", at_once), tell);
  for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_TRUE(told.empty()) << told.front();
  release.set_value();
  ASSERT_TRUE(pump_until([&] { return !told.empty(); }));
  EXPECT_EQ(told, std::vector<std::string>{"third"}) << "the first was overtaken, the second never done";
  EXPECT_FALSE(second_ran);
  EXPECT_EQ(most_at_once, 1);

  // Asked for once nothing is being done: done and told.
  work.ask(piece("fourth", at_once), tell);
  ASSERT_TRUE(pump_until([&] { return told.size() == 2; }));
  EXPECT_EQ(told.back(), "fourth");
}

}  // namespace
}  // namespace trellan
