// The event channel, its watch on a GLib main context, and the line reader.
#include "process/channel.hpp"
#include "event_helpers.hpp"
#include "drain.hpp"
#include "fake_tool.hpp"
#include "process/line_reader.hpp"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace trellan {
namespace {

using namespace std::chrono_literals;
using detail::Channel;
using testing::events_eq;

// --- the channel on its own ------------------------------------------------

TEST(Channel, RecvWaitsForASendAndEndsWhenTheLastSenderGoes) {
  auto [tx, rx] = Channel::create();
  std::thread sender([tx = tx]() mutable {
    std::this_thread::sleep_for(20ms);
    tx.send(Interval{1});
    detail::EventSender copy = tx;
    tx.reset();
    copy.send(Interval{2});
  });
  tx.reset();
  EXPECT_TRUE(events_eq(testing::drain(rx), {Interval{1}, Interval{2}}));
  sender.join();
  EXPECT_FALSE(rx.recv().has_value());
}

TEST(Channel, SendsFailOnceTheReceiverIsGone) {
  auto [tx, rx] = Channel::create();
  EXPECT_TRUE(tx.send(Listening{}));
  { EventReceiver gone = std::move(rx); }
  EXPECT_FALSE(tx.send(Listening{}));
  EventReceiver empty;
  EXPECT_FALSE(empty.recv().has_value());
}

// --- watching a receiver on a main context ---------------------------------

class Watch : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
  }
  void TearDown() override {
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  // Runs the context until `done` holds; false after 5 s without it.
  bool run_until(const std::function<bool()>& done) {
    bool timed_out = false;
    GSource* guard = g_timeout_source_new(5000);
    g_source_set_callback(
        guard,
        [](gpointer flag) -> gboolean {
          *static_cast<bool*>(flag) = true;
          return G_SOURCE_REMOVE;
        },
        &timed_out, nullptr);
    g_source_attach(guard, context_);
    while (!done() && !timed_out) g_main_context_iteration(context_, TRUE);
    g_source_destroy(guard);
    g_source_unref(guard);
    return done();
  }

  // Runs whatever is ready without blocking.
  void run_pending() {
    while (g_main_context_iteration(context_, FALSE)) {
    }
  }

  GMainContext* context_ = nullptr;
};

// What a watch saw: the events, then whether the closed call came.
struct Seen {
  std::vector<IperfEvent> events;
  int closed = 0;
};

EventCallback recorder(const std::shared_ptr<Seen>& seen) {
  return [seen](std::optional<IperfEvent> ev) {
    if (ev)
      seen->events.push_back(std::move(*ev));
    else
      ++seen->closed;
    return true;
  };
}

TEST_F(Watch, DeliversEveryEventInOrderThenClosedOnceAndCleansUp) {
  auto [tx, rx] = Channel::create();
  for (int i = 1; i <= 3; ++i) tx.send(Interval{static_cast<double>(i)});
  auto seen = std::make_shared<Seen>();
  const unsigned id = watch_events(std::move(rx), recorder(seen));
  EXPECT_NE(id, 0u);
  // The rest comes from another thread while the loop sleeps in poll().
  std::thread late([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(50ms);
    tx.send(Interval{4});
    tx.send(Exited{0});
  });
  ASSERT_TRUE(run_until([&] { return seen->closed > 0; }));
  late.join();
  run_pending();
  EXPECT_TRUE(events_eq(seen->events, {Interval{1}, Interval{2}, Interval{3}, Interval{4}, Exited{0}}));
  EXPECT_EQ(seen->closed, 1);
  EXPECT_EQ(g_main_context_find_source_by_id(context_, id), nullptr);
  EXPECT_EQ(seen.use_count(), 1) << "the callback was not released";
}

TEST_F(Watch, FalseFromTheCallbackEndsWatchingAndReleasesTheReceiver) {
  auto [tx, rx] = Channel::create();
  for (int i = 0; i < 3; ++i) tx.send(Listening{});
  auto calls = std::make_shared<int>(0);
  watch_events(std::move(rx), [calls](std::optional<IperfEvent>) {
    ++*calls;
    return false;
  });
  ASSERT_TRUE(run_until([&] { return *calls > 0; }));
  run_pending();
  EXPECT_EQ(*calls, 1);
  EXPECT_EQ(calls.use_count(), 1);
  EXPECT_FALSE(tx.send(Listening{})) << "the receiver was not released";
}

TEST_F(Watch, ExceptionFromTheCallbackEndsWatchingQuietly) {
  auto [tx, rx] = Channel::create();
  tx.send(Listening{});
  tx.send(Listening{});
  int calls = 0;
  watch_events(std::move(rx), [&calls](std::optional<IperfEvent>) -> bool {
    ++calls;
    throw std::runtime_error("boom");
  });
  ASSERT_TRUE(run_until([&] { return calls > 0; }));
  run_pending();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(tx.send(Listening{}));
}

TEST_F(Watch, EmptyReceiverIsClosedAtOnce) {
  auto seen = std::make_shared<Seen>();
  watch_events(EventReceiver{}, recorder(seen));
  ASSERT_TRUE(run_until([&] { return seen->closed > 0; }));
  EXPECT_TRUE(seen->events.empty());
}

TEST_F(Watch, FloodComesInBoundedBatchesAndLetsRedrawPriorityRun) {
  constexpr int kEvents = 10000;
  auto [tx, rx] = Channel::create();
  for (int i = 0; i < kEvents; ++i) tx.send(Interval{static_cast<double>(i)});
  tx.reset();
  auto seen = std::make_shared<Seen>();
  watch_events(std::move(rx), recorder(seen));

  // A source at the frame clock's priority (GDK_PRIORITY_REDRAW) must get a
  // turn while the flood is still being delivered.
  struct Probe {
    std::shared_ptr<Seen> seen;
    std::vector<std::size_t> counts;
  };
  Probe redraw{seen, {}}, idle{seen, {}};
  auto record = [](gpointer p) -> gboolean {
    auto* probe = static_cast<Probe*>(p);
    probe->counts.push_back(probe->seen->events.size());
    return probe->seen->closed ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
  };
  GSource* redraw_source = g_idle_source_new();
  g_source_set_priority(redraw_source, G_PRIORITY_HIGH_IDLE + 20);
  g_source_set_callback(
      redraw_source, [](gpointer p) -> gboolean {
        static_cast<Probe*>(p)->counts.push_back(static_cast<Probe*>(p)->seen->events.size());
        return G_SOURCE_REMOVE;
      },
      &redraw, nullptr);
  g_source_attach(redraw_source, context_);
  g_source_unref(redraw_source);
  // An idle source of the lowest usual priority sees each batch's size.
  GSource* idle_source = g_idle_source_new();
  g_source_set_callback(idle_source, record, &idle, nullptr);
  g_source_attach(idle_source, context_);

  ASSERT_TRUE(run_until([&] { return seen->closed > 0; }));
  g_source_destroy(idle_source);
  g_source_unref(idle_source);

  ASSERT_EQ(seen->events.size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i)
    ASSERT_EQ(std::get<Interval>(seen->events[static_cast<std::size_t>(i)]).mbps, i);
  ASSERT_EQ(redraw.counts.size(), 1u);
  EXPECT_LT(redraw.counts[0], static_cast<std::size_t>(kEvents)) << "the flood starved the frame clock";
  ASSERT_GT(idle.counts.size(), 2u);
  for (std::size_t i = 1; i < idle.counts.size(); ++i)
    EXPECT_LE(idle.counts[i] - idle.counts[i - 1], 64u) << "a dispatch handed out too many events";
}

TEST_F(Watch, RealRunArrivesOnTheLoop) {
  auto [run, rx] = start_iperf({"error-exit"}, false);
  auto seen = std::make_shared<Seen>();
  watch_events(std::move(rx), recorder(seen));
  ASSERT_TRUE(run_until([&] { return seen->closed > 0; }));
  EXPECT_TRUE(events_eq(seen->events, {Error{"unable to connect to server: Connection refused"}, Exited{1}}));
}

// --- the line reader over real pipes ---------------------------------------

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  void close_write() {
    ::close(fds[1]);
    fds[1] = -1;
  }
  int fds[2] = {-1, -1};
};

struct ReadResult {
  std::vector<std::string> lines;
  detail::ReadEnd end;
};

// Writes `data` into a pipe from another thread in chunks of the given sizes
// (cycled), and reads it back line by line.
ReadResult through_pipe(const std::string& data, const std::vector<std::size_t>& chunks) {
  Pipe pipe;
  std::thread writer([&] {
    std::size_t pos = 0, i = 0;
    while (pos < data.size()) {
      const std::size_t n = std::min(chunks[i++ % chunks.size()], data.size() - pos);
      EXPECT_EQ(::write(pipe.fds[1], data.data() + pos, n), static_cast<ssize_t>(n));
      pos += n;
    }
    pipe.close_write();
  });
  ReadResult result;
  result.end = detail::read_lines(pipe.fds[0], [&](std::string_view line) {
    result.lines.emplace_back(line);
  });
  writer.join();
  return result;
}

TEST(LineReader, LinesComeOutWholeWhateverTheReadBoundaries) {
  const std::vector<std::string> lines = {
      "", "a", std::string(8191, 'b'), std::string(8192, 'c'), std::string(8193, 'd'),
      std::string(20000, 'e'), "\u00E9\u20AC\U0001F600 split anywhere", "tail without newline"};
  std::string data;
  for (std::size_t i = 0; i < lines.size(); ++i) data += (i ? "\n" : "") + lines[i];
  for (const auto& chunks : std::vector<std::vector<std::size_t>>{
           {1}, {7, 1, 3}, {8192}, {9000, 1}, {100000}}) {
    const auto result = through_pipe(data, chunks);
    EXPECT_EQ(result.lines, lines) << "chunks of " << chunks[0];
    EXPECT_EQ(result.end, detail::ReadEnd::kEof);
  }
}

TEST(LineReader, OnlyAReturnBeforeTheLineFeedIsRemoved) {
  const auto result = through_pipe("a\r\n\r\nb\rc\n\n\r\r\nlast\r", {5});
  EXPECT_EQ(result.lines, (std::vector<std::string>{"a", "", "b\rc", "", "\r", "last\r"}));
  EXPECT_EQ(through_pipe("", {1}).lines, std::vector<std::string>{});
  EXPECT_EQ(through_pipe("x\n", {1}).lines, std::vector<std::string>{"x"});
}

TEST(LineReader, IllFormedUtf8IsReplacedAndReadingGoesOn) {
  // One U+FFFD per maximal ill-formed subpart: a stray byte, a truncated
  // sequence, an overlong form, a surrogate; split reads change nothing.
  for (std::size_t chunk : {3u, 100u}) {
    const auto result = through_pipe(
        "ok\nbad \xFF!\n\xE2\x82 cut\n\xC0\xAF over\n\xED\xA0\x80 sur\n\xE2\x82\xAC ok\nend \xF0\x9F\x98",
        {chunk});
    EXPECT_EQ(result.lines, (std::vector<std::string>{"ok", "bad \uFFFD!", "\uFFFD cut", "\uFFFD\uFFFD over",
                                                      "\uFFFD\uFFFD\uFFFD sur", "\u20AC ok", "end \uFFFD"}))
        << "chunks of " << chunk;
    EXPECT_EQ(result.end, detail::ReadEnd::kEof);
  }
}

std::atomic<int> signals_caught{0};

TEST(LineReader, ReadsInterruptedBySignalsAreRetried) {
  struct sigaction action {};
  action.sa_handler = [](int) { ++signals_caught; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read fails with EINTR
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);

  Pipe pipe;
  ReadResult result;
  std::thread reader([&] {
    result.end = detail::read_lines(pipe.fds[0], [&](std::string_view line) {
      result.lines.emplace_back(line);
    });
  });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(10ms);
    ::pthread_kill(reader.native_handle(), SIGUSR1);
  }
  std::this_thread::sleep_for(10ms);
  ASSERT_EQ(::write(pipe.fds[1], "x\ny\n", 4), 4);
  pipe.close_write();
  reader.join();
  ::sigaction(SIGUSR1, &old, nullptr);

  EXPECT_GE(signals_caught.load(), 1);
  EXPECT_EQ(result.lines, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(result.end, detail::ReadEnd::kEof);
}

}  // namespace
}  // namespace trellan
