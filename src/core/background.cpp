#include "core/background.hpp"

#include <gio/gio.h>

#include <mutex>
#include <thread>

#include "core/gobject.hpp"

namespace trellan {

namespace {

// One piece of work. Everything GLib keeps for it is made and let go of on
// the caller's thread: the worker only does the work, says so under the
// lock and makes the caller's source ready. So the one hand-over is one that
// thread checkers see (GLib's own locks are futexes they do not).
struct Job {
  Ref<GApplication> app;
  std::function<void()> done;
  std::mutex lock;  // taken by the worker once the work is done
};

using JobRef = std::shared_ptr<Job>;

gboolean on_finished(GSource*, GSourceFunc, gpointer data) noexcept {
  Job& job = **static_cast<JobRef*>(data);
  // Made ready only by the worker, once it let go of the lock: from here
  // on, what the work wrote is seen.
  { const std::lock_guard<std::mutex> hold(job.lock); }
  if (const auto done = std::exchange(job.done, nullptr)) done();
  if (const auto app = std::move(job.app)) g_application_release(app.get());
  return G_SOURCE_REMOVE;
}

GSourceFuncs kFinishedFuncs = {nullptr, nullptr, on_finished, nullptr, nullptr, nullptr};

}  // namespace

void run_in_background(std::function<void()> work, std::function<void()> done) {
  GApplication* app = g_application_get_default();
  if (app) g_application_hold(app);
  auto job = std::make_shared<Job>();
  job->app = Ref<GApplication>::add(app);
  job->done = std::move(done);
  // The caller hears from a turn of its own loop, once the worker makes
  // this source ready; until then it is never ready. The worker keeps a
  // reference, in case that loop's context goes first.
  GSource* finished = g_source_new(&kFinishedFuncs, sizeof(GSource));
  g_source_set_priority(finished, G_PRIORITY_DEFAULT);
  g_source_set_ready_time(finished, -1);
  g_source_set_callback(finished, nullptr, new JobRef(job), [](gpointer data) { delete static_cast<JobRef*>(data); });
  GMainContext* context = g_main_context_ref_thread_default();
  g_source_attach(finished, context);
  g_main_context_unref(context);
  std::thread([job, finished, work = std::move(work)]() mutable {
    {
      const std::lock_guard<std::mutex> hold(job->lock);
      work();
      work = nullptr;  // what it held goes back now, not when the caller hears
    }
    g_source_set_ready_time(finished, 0);
    g_source_unref(finished);
  }).detach();
}

}  // namespace trellan
