// Helpers shared by the benchmarks: timing, the core count, test audio.
#ifndef ZOR_BENCH_BENCH_UTIL_H_
#define ZOR_BENCH_BENCH_UTIL_H_

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Best of `repeats` runs, in seconds: the minimum is the least disturbed by
// the other work of a shared machine.
template <typename F>
double BestSeconds(int repeats, F&& run) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

// Seconds the NPU runtime named in ZOR_NPURT_PATH has spent inside its
// entry points so far, when it is the simulated one, which keeps count (0
// otherwise): the simulated networks' own work, which is not the host's.
inline double RuntimeBusySeconds() {
  using CountFn = int64_t (*)(const char*);
  static const CountFn count = [] {
    const char* path = std::getenv("ZOR_NPURT_PATH");
    void* runtime = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    return runtime != nullptr ? reinterpret_cast<CountFn>(dlsym(runtime, "zornn_sim_count"))
                              : nullptr;
  }();
  return count != nullptr ? static_cast<double>(count("busy_ns")) * 1e-9 : 0.0;
}

// Best of `repeats` runs of the host's share alone: each run's time less
// the time its calls spent inside the runtime.
template <typename F>
double BestHostSeconds(int repeats, F&& run) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double busy_before = RuntimeBusySeconds();
    const double took = BestSeconds(1, run);
    best = std::min(best, took - (RuntimeBusySeconds() - busy_before));
  }
  return best;
}

inline long CoreCount() { return sysconf(_SC_NPROCESSORS_ONLN); }

inline long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Speech-like test audio: a few drifting partials and a noise floor.
inline std::vector<int16_t> BenchAudio(size_t n) {
  std::vector<int16_t> pcm(n);
  uint32_t seed = 12345;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double t = static_cast<double>(i) / 16000.0;
    const double v = 6000 * std::sin(2 * M_PI * (180 + 40 * std::sin(t)) * t) +
                     2500 * std::sin(2 * M_PI * 1200 * t) + ((seed >> 16) % 600) - 300.0;
    pcm[i] = static_cast<int16_t>(v);
  }
  return pcm;
}

// Writes Whisper's 128-bin mel filter bank to path with the data tool in
// tools/ (numpy), as a user prepares one. The interpreter is python3 unless
// ZOR_BENCH_PYTHON names another. Says why on failure.
inline bool WriteWhisperFilterBank(const std::string& path) {
  const char* python = std::getenv("ZOR_BENCH_PYTHON");
  const std::string cmd = std::string(python && *python ? python : "python3") + " '" +
                          ZOR_BENCH_SOURCE_DIR "/tools/make_mel_filters.py' -o '" + path +
                          "' > /dev/null";
  if (std::system(cmd.c_str()) == 0) return true;
  std::fprintf(stderr, "cannot write the filter bank: %s failed\n", cmd.c_str());
  return false;
}

// Writes bytes to path, replacing the file.
inline void WriteBenchFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder $TMPDIR/<name>_<pid> (/tmp without TMPDIR) for a
// benchmark's files; "" when it cannot be made.
inline std::string MakeBenchDir(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "_" + std::to_string(getpid());
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST ? dir : std::string();
}

// What a Whisper context on the simulated runtime reads from dir: the
// vocabulary file, the filter bank and a zero-cost encoder (a 32-float
// output); decoders are written by decoder_lines (their script and such).
inline bool WriteWhisperBenchFiles(const std::string& dir, const std::string& tokenizer) {
  WriteBenchFile(dir + "/tokenizer_info.bin", tokenizer);
  WriteBenchFile(dir + "/encoder.model",
                 "behaviour whisper_encoder\n"
                 "input name=mel dims=1,128,3000 type=FP32\n"
                 "output name=features dims=1,4,8 type=FP32\n");
  return WriteWhisperFilterBank(dir + "/data.bin");
}

inline void WriteWhisperBenchDecoder(const std::string& path, const std::string& lines,
                                     const std::string& logits_type = "FP32") {
  WriteBenchFile(path,
                 "behaviour whisper_decoder\n"
                 "input name=tokens dims=1,48 type=INT64 role=tokens\n"
                 "input name=audio dims=1,4,8 type=FP32 role=features\n"
                 "output name=logits dims=1,48,51866 type=" + logits_type + "\n" +
                     lines + "\n");
}

// Points libfenn at the simulated NPU runtime unless the caller chose one.
inline void UseSimulatedRuntime(const char* built_path) {
  setenv("ZOR_NPURT_PATH", built_path, 0);
}

#endif  // ZOR_BENCH_BENCH_UTIL_H_
