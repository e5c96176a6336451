// Helper threads kept between spectrogram calls. Starting a thread for each
// call and joining it again costs about a tenth of a 30-s spectrogram on two
// cores; kept threads wait for the next call's parts instead.
//
// A caller offers parts, runs its own, then withdraws what no helper has
// taken and runs those itself: a part never waits for a helper that is busy
// with another call, cannot be started, or does not exist (in a child made
// by fork, where the parent's helpers are gone, every part is withdrawn).
#ifndef ZOR_ASR_WHISPER_MEL_WORKERS_H_
#define ZOR_ASR_WHISPER_MEL_WORKERS_H_

namespace whisper_spectrum {

// One part of a call: run(context, part) on a helper thread.
struct mel_task {
  void (*run)(void* context, int part) noexcept;
  void* context;
  int part;
  bool taken;  // set once a helper has started it; guarded by the helpers' lock
};

// Hands count tasks to the helpers, starting helpers up to count of them
// (fewer if threads cannot be had). The tasks must stay in place until
// mel_withdraw_tasks returns. Never throws.
void mel_offer_tasks(mel_task* tasks, int count) noexcept;

// Takes back the offered tasks that no helper has started; after it returns
// no helper starts any of them, and task.taken says which ones run (or ran)
// on a helper. Never throws.
void mel_withdraw_tasks(mel_task* tasks, int count) noexcept;

}  // namespace whisper_spectrum

#endif  // ZOR_ASR_WHISPER_MEL_WORKERS_H_
