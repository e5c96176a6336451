#include "whisper/mel_workers.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace whisper_spectrum {
namespace {

// A forked child's condition variable of its parent's helpers, kept
// reachable: let go on purpose, not leaked.
std::condition_variable* g_let_go = nullptr;

// The process's helpers. Destroyed at exit or when the library is unloaded:
// the helpers are stopped and joined before their code goes away.
class Helpers {
 public:
  Helpers() : owner_(getpid()), wake_(std::make_unique<std::condition_variable>()) {}

  ~Helpers() {
    if (getpid() != owner_) {
      // A forked child: the helpers were the parent's and do not run here,
      // and the condition variable still counts them as waiters, so
      // destroying it would wait for them forever. Both are let go.
      for (std::thread& t : threads_) t.detach();
      g_let_go = wake_.release();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_->notify_all();
    for (std::thread& t : threads_) t.join();
  }

  void offer(mel_task* tasks, int count) noexcept {
    if (getpid() != owner_) return;  // the lock may have been held by a helper at fork
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int i = 0; i < count; ++i) queue_.push_back(&tasks[i]);
      while (static_cast<int>(threads_.size()) < count) threads_.emplace_back(&Helpers::serve, this);
    } catch (...) {
      // No memory or no thread: the helpers there serve what they can,
      // and the caller withdraws the rest.
    }
    wake_->notify_all();
  }

  void withdraw(mel_task* tasks, int count) noexcept {
    if (getpid() != owner_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](mel_task* t) { return t >= tasks && t < tasks + count; }),
                 queue_.end());
  }

 private:
  void serve() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_->wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      mel_task* task = queue_.front();
      queue_.pop_front();
      task->taken = true;
      const mel_task run = *task;  // the caller's copy may go once it has finished
      lock.unlock();
      run.run(run.context, run.part);
      lock.lock();
    }
  }

  const pid_t owner_;
  std::mutex mutex_;
  std::unique_ptr<std::condition_variable> wake_;
  std::deque<mel_task*> queue_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

Helpers& helpers() {
  static Helpers h;
  return h;
}

}  // namespace

// The helpers are made on first use, which may fail for want of memory;
// then no task is offered and every one is withdrawn.
void mel_offer_tasks(mel_task* tasks, int count) noexcept {
  for (int i = 0; i < count; ++i) tasks[i].taken = false;
  try {
    helpers().offer(tasks, count);
  } catch (...) {
  }
}

void mel_withdraw_tasks(mel_task* tasks, int count) noexcept {
  try {
    helpers().withdraw(tasks, count);
  } catch (...) {
  }
}

}  // namespace whisper_spectrum
