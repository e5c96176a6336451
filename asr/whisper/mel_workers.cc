#include "whisper/mel_workers.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace whisper_spectrum {
namespace {

// The helpers' shared state is never freed: a call still running on another
// thread while the process exits (a daemon thread of a Python service, say)
// must find its lock and queue intact after the helpers have been stopped.
struct HelperState {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<mel_task*> queue;
  std::vector<std::thread> threads;
  bool stopped = false;
  const pid_t owner = getpid();

  void serve() noexcept {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopped || !queue.empty(); });
      if (stopped) return;
      mel_task* task = queue.front();
      queue.pop_front();
      task->taken = true;
      const mel_task run = *task;  // the caller's copy may go once it has finished
      lock.unlock();
      run.run(run.context, run.part);
      lock.lock();
    }
  }
};

std::atomic<HelperState*> g_state{nullptr};

HelperState& state() {
  static HelperState* const s = [] {
    HelperState* made = new HelperState;
    g_state.store(made);
    return made;
  }();
  return *s;
}

// Stops and joins the helpers at exit or when the library is unloaded,
// before their code goes away. Later offers are refused, so their callers
// run every part themselves.
struct HelperStopper {
  ~HelperStopper() {
    HelperState* s = g_state.load();
    // In a forked child the helpers were the parent's and do not run here,
    // and their lock may have been held at the fork: nothing to stop.
    if (s == nullptr || getpid() != s->owner) return;
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->stopped = true;
      threads.swap(s->threads);
    }
    s->wake.notify_all();
    for (std::thread& t : threads) t.join();
  }
} g_stopper;

}  // namespace

// The helpers' state is made on first use, which may fail for want of
// memory; then no task is offered and every one is withdrawn.
void mel_offer_tasks(mel_task* tasks, int count) noexcept {
  for (int i = 0; i < count; ++i) tasks[i].taken = false;
  HelperState* s = nullptr;
  try {
    s = &state();
    // In a forked child the lock may have been held by a parent's helper.
    if (getpid() != s->owner) return;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (s->stopped) return;
      for (int i = 0; i < count; ++i) s->queue.push_back(&tasks[i]);
      while (static_cast<int>(s->threads.size()) < count) {
        s->threads.emplace_back(&HelperState::serve, s);
      }
    }
  } catch (...) {
    // No memory or no thread: the helpers there serve what they can, and
    // the caller withdraws the rest.
  }
  if (s != nullptr) s->wake.notify_all();
}

void mel_withdraw_tasks(mel_task* tasks, int count) noexcept {
  try {
    HelperState& s = state();
    if (getpid() != s.owner) return;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queue.erase(std::remove_if(s.queue.begin(), s.queue.end(),
                                 [&](mel_task* t) { return t >= tasks && t < tasks + count; }),
                  s.queue.end());
  } catch (...) {
  }
}

}  // namespace whisper_spectrum
