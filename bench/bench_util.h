// Helpers shared by the benchmarks: timing, the core count, test audio.
#ifndef ZOR_BENCH_BENCH_UTIL_H_
#define ZOR_BENCH_BENCH_UTIL_H_

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Points libfenn at the simulated NPU runtime unless the caller chose one.
inline void UseSimulatedRuntime(const char* built_path) {
  setenv("ZOR_NPURT_PATH", built_path, 0);
}

#endif  // ZOR_BENCH_BENCH_UTIL_H_
