// zor_asr_transcribe of 10 s of audio end to end, on a simulated network that
// returns a prepared output (the run costs nothing, so what is measured is
// the host's work): host time per second of audio, its ratio to the feature
// extraction of the same audio, the ratio of a transcription with timestamps
// (segments and labels) to one without, and the peak resident memory of a
// process that only transcribes, against the runtime's output it must hold
// anyway.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sensevoice/sense_voice_features.h"
#include "bench_util.h"
#include "zor_asr.h"

namespace {

constexpr int kOutputFrames = 804;  // 800 feature frames and the 4 the network puts first
constexpr int kVocab = 25055;
constexpr double kSeconds = 10.0;

// An engine over a prepared network and its token file, with 10 s of audio.
struct Transcriber {
  Transcriber(const std::string& model, const std::string& tokens)
      : pcm(BenchAudio(static_cast<size_t>(16000 * kSeconds))) {
    ZOR_ASRInitConfig cfg{};
    cfg.model_type = ZOR_ASR_MODEL_SENSEVOICE;
    cfg.model_path = model.c_str();
    cfg.tokenizer_path = tokens.c_str();
    if (zor_asr_init(&ctx, &cfg) != ZOR_ASR_Status_Success) ctx = nullptr;
  }
  ~Transcriber() {
    if (ctx != nullptr) zor_asr_uninit(ctx);
  }
  // The length of the text (plus the segment count with timestamps), 0 on
  // failure.
  size_t Transcribe(bool timestamps = false) {
    ZOR_ASRInput in{};
    in.audio_type = ZOR_ASR_AUDIO_PCM16;
    in.pcm = pcm.data();
    in.num_samples = static_cast<uint32_t>(pcm.size());
    in.timestamps = timestamps ? 1 : 0;
    ZOR_ASRResult r{};
    if (zor_asr_transcribe(ctx, &in, &r) != ZOR_ASR_Status_Success) return 0;
    return (r.text != nullptr ? std::string(r.text).size() : 0) + r.n_segments;
  }
  std::vector<int16_t> pcm;
  ASRContext ctx = nullptr;
};

// Peak resident memory, in KiB, of a child that creates an engine and
// transcribes three times (a buffer kept between calls would show from the
// second on); -1 on failure. The child starts with only what this process
// holds before any engine exists: *base_kib is its peak before the engine.
long ChildPeakRssKiB(const std::string& model, const std::string& tokens, long* base_kib) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    close(fds[0]);
    const long base = PeakRssKiB();
    int ok = 0;
    {
      Transcriber t(model, tokens);
      for (int i = 0; i < 3 && t.ctx != nullptr; ++i) ok += t.Transcribe() > 0;
    }
    const long report[2] = {ok == 3 ? 0L : 1L, base};
    const ssize_t written = write(fds[1], report, sizeof(report));
    _exit(written == static_cast<ssize_t>(sizeof(report)) ? 0 : 1);
  }
  close(fds[1]);
  long report[2] = {1, 0};
  const ssize_t got = read(fds[0], report, sizeof(report));
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      got != static_cast<ssize_t>(sizeof(report)) || report[0] != 0) {
    return -1;
  }
  *base_kib = report[1];
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  UseSimulatedRuntime(ZOR_BENCH_SIM_NPURT);
  const char* tmp_env = std::getenv("TMPDIR");
  const std::string dir = tmp_env != nullptr ? tmp_env : "/tmp";
  const std::string model = dir + "/sv_e2e.model", tokens = dir + "/sv_e2e_tokens.txt";
  {
    std::ofstream m(model);
    m << "behaviour prepared\n"
      << "input name=speech dims=1,800,560 type=INT8 scale=0.125 role=speech\n"
      << "input name=input_1 dims=1 type=INT32 role=language\n"
      << "input name=input_2 dims=1 type=INT32 role=text_norm\n"
      << "output dims=1," << kOutputFrames << ',' << kVocab << " type=FP32\ntokens 1 3 5 6";
    for (int i = 0; i < 150; ++i) m << ' ' << 100 + i;
    m << '\n';
    std::ofstream t(tokens);
    t << "<blk> 0\n<|en|> 1\n<|NEUTRAL|> 3\n<|Speech|> 5\n<|woitn|> 6\n";
    for (int i = 100; i < kVocab; ++i) t << "\xE2\x96\x81w" << i << ' ' << i << '\n';
  }
  long base_kib = 0;
  const long peak_kib = ChildPeakRssKiB(model, tokens, &base_kib);

  Transcriber engine(model, tokens);
  if (engine.ctx == nullptr) {
    std::printf("zor_asr_init failed\n");
    return 1;
  }
  const std::vector<int16_t>& pcm = engine.pcm;
  std::vector<float> audio(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) audio[i] = pcm[i] / 32768.0f;
  int failures = 0;
  size_t sink = 0;
  auto transcribe = [&] {
    const size_t n = engine.Transcribe();
    failures += n == 0;
    sink += n;
  };
  auto features = [&] {
    sink += ExtractFeatures(audio.data(), static_cast<int>(audio.size()), 800, "edge").valid_frames;
  };
  auto timed = [&] {
    const size_t n = engine.Transcribe(true);
    failures += n == 0;
    sink += n;
  };
  transcribe();
  double cand = 1e300, base = 1e300, with_timestamps = 1e300;
  for (int round = 0; round < 3; ++round) {
    cand = std::min(cand, BestSeconds(3, transcribe));
    base = std::min(base, BestSeconds(3, features));
    with_timestamps = std::min(with_timestamps, BestSeconds(3, timed));
  }
  std::printf("sensevoice end to end: %zu samples (%.0f s), prepared network, %ld cores\n",
              pcm.size(), kSeconds, CoreCount());
  std::printf("  zor_asr_transcribe %.2f ms = %.2f ms per second of audio (real-time factor %.4f)\n",
              cand * 1e3, cand * 1e3 / kSeconds, cand / kSeconds);
  std::printf("  ratio to ExtractFeatures alone (%.2f ms): %.2f\n", base * 1e3, cand / base);
  std::printf("  with timestamps %.2f ms: ratio %.3f to without\n", with_timestamps * 1e3,
              with_timestamps / cand);
  const double output_mib = static_cast<double>(kOutputFrames) * kVocab * 4 / (1024.0 * 1024.0);
  if (peak_kib < 0) {
    std::printf("  peak resident memory: the measuring child failed\n");
    return 1;
  }
  std::printf("  peak resident memory of a process transcribing 3 times: %.1f MiB = the runtime's "
              "output %.1f MiB + %.1f MiB (target <= 16; %.1f MiB before the engine)\n",
              peak_kib / 1024.0, output_mib, peak_kib / 1024.0 - output_mib, base_kib / 1024.0);
  return failures != 0 || sink == 0;
}
