// lumo_call.cc: one runtime call at a time per object, the context guarded
// against interrupt() from other threads, and generations on a helper
// thread waited for in slices that keep Ctrl+C working.
#include "lumo_call.h"

#include <chrono>
#include <system_error>

#include "lumo_func.h"

namespace zor_lumo {
namespace {

// How long the waiting thread stays deaf to signals: well under the 100 ms
// a Ctrl+C may take to stop a generation.
constexpr std::chrono::milliseconds kWaitSlice(20);

}  // namespace

namespace {
thread_local LumoObject* t_delivering = nullptr;
}  // namespace

DeliveryScope::DeliveryScope(LumoObject* self) : previous_(t_delivering) { t_delivering = self; }
DeliveryScope::~DeliveryScope() { t_delivering = previous_; }
bool DeliveryScope::Inside(LumoObject* self) { return t_delivering == self; }

bool CallScope::Enter(const char* method) {
  if (self_->busy != nullptr) {
    PyErr_Format(PyExc_RuntimeError, "LUMO.%s() called while %s() is in progress on this object", method,
                 self_->busy);
    return false;
  }
  self_->busy = method;
  entered_ = true;
  return true;
}

void SetContext(LumoObject* self, LLMContext context) {
  LumoSync* sync = self->sync;
  std::unique_lock<std::mutex> lock(sync->context_mutex, std::defer_lock);
  Py_BEGIN_ALLOW_THREADS
  lock.lock();
  sync->breaks_done.wait(lock, [sync] { return sync->breaks_in_flight == 0; });
  Py_END_ALLOW_THREADS
  self->context = context;
}

ZOR_LLMRetStatus BreakContext(LumoObject* self) {
  LumoSync* sync = self->sync;
  LLMContext context;
  {
    std::lock_guard<std::mutex> lock(sync->context_mutex);
    context = self->context;
    if (context == nullptr) return ZOR_LLM_Status_Failed;
    ++sync->breaks_in_flight;
  }
  const ZOR_LLMRetStatus rc = zor_llm_break(context);
  std::lock_guard<std::mutex> lock(sync->context_mutex);
  if (--sync->breaks_in_flight == 0) sync->breaks_done.notify_all();
  return rc;
}

NativeRun::~NativeRun() {
  if (thread_.joinable()) thread_.join();
}

bool NativeRun::Start(LLMContext context, ZOR_LLMInput* input, ZOR_LLMRunConfig* config, void* userdata) {
  try {
    thread_ = std::thread([this, context, input, config, userdata] {
      PyGILState_STATE gil = PyGILState_Ensure();
      PyThreadState* thread_state = PyEval_SaveThread();
      zor_llm_run(context, input, config, userdata);
      std::function<void()> at_end;
      {
        // Notified under the lock: once the waiter sees done_ it may
        // destroy this object, and the thread touches no member after.
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        at_end = std::move(at_end_);
        wake_.notify_all();
      }
      PyEval_RestoreThread(thread_state);
      if (at_end) at_end();  // an orphaned run: its owner is gone
      PyGILState_Release(gil);
    });
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "LUMO: cannot start the generation thread: %s", e.what());
    return false;
  }
  return true;
}

void NativeRun::Notify() {
  std::lock_guard<std::mutex> lock(mutex_);
  news_ = true;
  wake_.notify_all();
}

bool NativeRun::done() {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

bool NativeRun::WaitSlice(bool for_piece) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, kWaitSlice, [&] { return done_ || (for_piece && news_); });
  const bool woken = done_ || (for_piece && news_);
  if (for_piece) news_ = false;
  return woken;
}

void NativeRun::Join() {
  if (!thread_.joinable()) return;
  // The thread's last step takes the interpreter lock.
  Py_BEGIN_ALLOW_THREADS
  thread_.join();
  Py_END_ALLOW_THREADS
}

bool NativeRun::Wait(LumoObject* self, bool for_piece) {
  for (;;) {
    bool woken;
    Py_BEGIN_ALLOW_THREADS
    woken = WaitSlice(for_piece);
    Py_END_ALLOW_THREADS
    if (woken) {
      if (done()) Join();
      return true;
    }
    if (PyErr_CheckSignals() < 0) {
      PendingErrorKept pending;
      Stop(self);
      return false;
    }
    if (self->signal_interrupt) {
      Py_BEGIN_ALLOW_THREADS
      BreakContext(self);
      Py_END_ALLOW_THREADS
    }
  }
}

void NativeRun::Orphan(LumoObject* self, std::function<void()> at_end) {
  Py_BEGIN_ALLOW_THREADS
  BreakContext(self);
  Py_END_ALLOW_THREADS
  std::lock_guard<std::mutex> lock(mutex_);
  // Still running: the delivery this is called from is part of it.
  at_end_ = std::move(at_end);
  thread_.detach();
}

void NativeRun::Stop(LumoObject* self) {
  bool finished = done();
  while (!finished) {
    Py_BEGIN_ALLOW_THREADS
    // Repeated every slice: a runtime may miss a break that arrives
    // between two of its steps.
    BreakContext(self);
    finished = WaitSlice(false);
    Py_END_ALLOW_THREADS
  }
  Join();
}

}  // namespace zor_lumo
