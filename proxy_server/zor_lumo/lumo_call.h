// lumo_call.h: how LUMO calls into the runtime. A board runtime may deliver
// from its own thread while holding its own lock, and its break, reset and
// uninit may wait for that thread; the thread in turn waits for the
// interpreter lock inside the result bridge. So every runtime call is made
// with the interpreter lock released, one call at a time per object
// (CallScope), and a generation runs on a helper thread (NativeRun) while
// the calling thread waits in short slices, ready to run signal handlers.
#ifndef ZOR_LUMO_CALL_H
#define ZOR_LUMO_CALL_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "lumo_module.h"

namespace zor_lumo {

// Shared with threads that run without the interpreter lock. The context is
// replaced only while no zor_llm_break is in flight on it, so interrupt()
// from any thread never reaches a freed context. Breaks do not hold the
// mutex while in the runtime: one that waits for the generation must not
// stop another, made from inside a callback, that the generation waits for.
struct LumoSync {
  std::mutex context_mutex;
  std::condition_variable breaks_done;
  int breaks_in_flight = 0;  // guarded by context_mutex
};

// Marks the object busy with one runtime call for its lifetime.
class CallScope {
 public:
  explicit CallScope(LumoObject* self) : self_(self) {}
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  ~CallScope() {
    if (entered_) self_->busy = nullptr;
  }
  // False with RuntimeError naming both calls while another is in progress.
  bool Enter(const char* method);
  // Hands the busy mark over to a stream, which clears it itself.
  void Release() { entered_ = false; }

 private:
  LumoObject* self_;
  bool entered_ = false;
};

// Replaces self->context (interpreter lock held; the context mutex is taken
// with the lock released).
void SetContext(LumoObject* self, LLMContext context);

// zor_llm_break on the current context, or Failed without one. Called
// without the interpreter lock.
ZOR_LLMRetStatus BreakContext(LumoObject* self);

// Marks the calling thread as inside a delivery to self (the bridges) for
// the scope's life. Nothing may wait there for the run to end: the run
// waits for the delivery.
class DeliveryScope {
 public:
  explicit DeliveryScope(LumoObject* self);
  ~DeliveryScope();
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;
  static bool Inside(LumoObject* self);

 private:
  LumoObject* previous_;
};

// One zor_llm_run on a helper thread. The thread holds a thread state of its
// own for its whole life, so the bridges' deliveries on it take the
// interpreter lock without creating one each time.
class NativeRun {
 public:
  NativeRun() = default;
  NativeRun(const NativeRun&) = delete;
  NativeRun& operator=(const NativeRun&) = delete;
  ~NativeRun();  // the run must have ended (Wait or Stop)

  // Starts the run; input, config and everything they point to must outlive
  // it. False with a Python error when no thread could be started.
  bool Start(LLMContext context, ZOR_LLMInput* input, ZOR_LLMRunConfig* config, void* userdata);
  // Wakes a consumer waiting for a piece (any thread).
  void Notify();
  // Waits until the run ends, or with for_piece until Notify. Between short
  // slices it runs pending signal handlers; when one raises (Ctrl+C), it
  // breaks the run, waits for it to end and returns false with that
  // exception set. A SIGINT flagged on self repeats the break.
  bool Wait(LumoObject* self, bool for_piece);
  // Breaks the run and waits for it to end, signals left pending.
  void Stop(LumoObject* self);
  bool done();
  // For a run that cannot be waited for here (from inside one of its own
  // deliveries): breaks it and leaves it to its thread, which calls at_end
  // with the interpreter lock once the runtime has returned. at_end owns
  // whatever the run still uses, this object included.
  void Orphan(LumoObject* self, std::function<void()> at_end);

 private:
  bool WaitSlice(bool for_piece);  // interpreter lock released by the caller
  void Join();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;  // guarded by mutex_
  bool news_ = false;  // guarded by mutex_
  std::function<void()> at_end_;  // guarded by mutex_
};

}  // namespace zor_lumo

#endif  // ZOR_LUMO_CALL_H
