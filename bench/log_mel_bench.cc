// Speed of the library's log-mel spectrogram against the straightforward
// baseline, measured in the same run: for each input size and thread count,
// the best of several runs of each, and their ratio (baseline / library;
// above 1 means the library is faster). Also confirms the two agree bit for
// bit. Usage: log_mel_bench [repetitions]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "log_mel_baseline.h"
#include "whisper/log_mel.h"

namespace {

// Triangular mel-spaced filters, 128 x 201, written as raw float32.
std::string write_filter_bank() {
  std::vector<float> w(128 * 201, 0.0f);
  auto hz_to_mel = [](double f) { return 2595.0 * std::log10(1.0 + f / 700.0); };
  auto mel_to_hz = [](double m) { return 700.0 * (std::pow(10.0, m / 2595.0) - 1.0); };
  for (int j = 0; j < 128; ++j) {
    const double lo = mel_to_hz(hz_to_mel(8000.0) * j / 129.0);
    const double mid = mel_to_hz(hz_to_mel(8000.0) * (j + 1) / 129.0);
    const double hi = mel_to_hz(hz_to_mel(8000.0) * (j + 2) / 129.0);
    for (int k = 0; k < 201; ++k) {
      const double f = 40.0 * k;
      w[j * 201 + k] = static_cast<float>(
          std::max(0.0, std::min((f - lo) / (mid - lo), (hi - f) / (hi - mid))) * 2.0 / (hi - lo));
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/log_mel_bench_" +
                     std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(w.data(), sizeof(float), w.size(), f) != w.size()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(f);
  return path;
}


}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int cores = static_cast<int>(CoreCount());
  const std::string bank = write_filter_bank();
  whisper_set_mel_filters_path(bank.c_str());
  // The library keeps a bank only once its file times are a few seconds
  // old, as an installed one is; let this fresh file age that far first.
  std::this_thread::sleep_for(std::chrono::seconds(3));

  std::printf("log-mel spectrogram: library vs baseline, nproc = %d, best of %d runs\n", cores, reps);
  std::printf("%10s %8s %14s %14s %8s %10s\n", "samples", "threads", "baseline ms", "library ms",
              "ratio", "identical");
  std::mt19937 rng(42);
  std::normal_distribution<float> dist(0.0f, 0.1f);
  bool all_identical = true;
  for (int n : {16000, 72000, 80000}) {
    std::vector<float> samples(n);
    for (float& x : samples) x = dist(rng);
    std::vector<int> thread_counts = {1, 2, 8};
    if (cores > 2 && cores != 8) thread_counts.push_back(cores);
    for (int threads : thread_counts) {
      whisper_filters base_filters, lib_filters;
      whisper_mel base_mel, lib_mel;
      const double base = BestSeconds(reps, [&] {
        log_mel_spectrogram_baseline(samples.data(), n, threads, bank, base_filters, base_mel);
      });
      const double lib = BestSeconds(reps, [&] {
        log_mel_spectrogram(samples.data(), n, threads, lib_filters, lib_mel);
      });
      const bool identical =
          base_mel.values.size() == lib_mel.values.size() &&
          std::memcmp(base_mel.values.data(), lib_mel.values.data(),
                      lib_mel.values.size() * sizeof(float)) == 0;
      all_identical = all_identical && identical;
      std::printf("%10d %8d %14.3f %14.3f %8.2f %10s\n", n, threads, base * 1e3, lib * 1e3,
                  base / lib, identical ? "yes" : "NO");
    }
  }
  std::remove(bank.c_str());
  return all_identical ? 0 : 1;
}
