// Speed of the library's log-mel spectrogram against the straightforward
// baseline and against asrfront (a published C front end for the same
// spectrogram, run from PyPI's package in a Python child), all in the same
// run, on 5 s and 30 s of speech-like audio with Whisper's 128-bin filter
// bank: the best of several runs of each, the ratios (above 1 means the
// library is faster), the 2-thread speed-up, and how far the library's
// values lie from the baseline's (within 5 decades of the maximum, and
// anywhere). Usage: log_mel_bench [repetitions]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "log_mel_baseline.h"
#include "whisper/log_mel.h"

namespace {

std::string temp_file(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/log_mel_bench_" + std::to_string(getpid()) +
         "_" + name;
}

std::string python() {
  const char* p = std::getenv("ZOR_BENCH_PYTHON");
  return p && *p ? p : "python3";
}

// asrfront's best time in ms for the samples, or a negative value when the
// package is not there (pip install asrfront).
double asrfront_ms(const std::vector<float>& samples, int reps) {
  const std::string audio = temp_file("audio.f32");
  FILE* f = std::fopen(audio.c_str(), "wb");
  if (f == nullptr) return -1;
  std::fwrite(samples.data(), sizeof(float), samples.size(), f);
  std::fclose(f);
  const std::string script =
      "import sys, time, numpy as np\n"
      "try:\n"
      "    import asrfront.whisper as w\n"
      "except ImportError:\n"
      "    print(-1); sys.exit()\n"
      "a = np.fromfile(sys.argv[1], dtype=np.float32)\n"
      "w.log_mel(a, 128, True)\n"
      "best = 1e9\n"
      "for _ in range(int(sys.argv[2])):\n"
      "    t = time.perf_counter(); w.log_mel(a, 128, True); best = min(best, time.perf_counter() - t)\n"
      "print(best * 1e3)\n";
  const std::string cmd = python() + " -c '" + script + "' '" + audio + "' " + std::to_string(reps);
  FILE* child = popen(cmd.c_str(), "r");
  double ms = -1;
  if (child != nullptr) {
    if (std::fscanf(child, "%lf", &ms) != 1) ms = -1;
    pclose(child);
  }
  std::remove(audio.c_str());
  return ms;
}

// The spectrogram in double precision with a direct transform: the exact
// values that both single-precision versions approximate.
std::vector<double> exact_log_mel(const std::vector<float>& samples, const whisper_filters& filters,
                                  int frames) {
  const int n = static_cast<int>(samples.size());
  const int computed = std::min((n + 200) / 160 + 1, frames);
  std::vector<double> cos_t(400), sin_t(400), hann(400, 0.0);
  for (int i = 0; i < 400; ++i) {
    cos_t[i] = std::cos(2.0 * M_PI * i / 400);
    sin_t[i] = std::sin(2.0 * M_PI * i / 400);
    if (i > 0) hann[i] = 0.5f * (1.0f - std::cos(static_cast<float>(2.0 * M_PI * i / 400)));
  }
  std::vector<double> values(static_cast<size_t>(128) * frames, -10.0), x(400), power(201);
  for (int f = 0; f < computed; ++f) {
    for (int s = 0; s < 400; ++s) {
      const int p = f * 160 + s;  // index in the padded signal
      const int src = p < 200 ? 200 - p : p - 200;
      const bool inside = p < n + 200 && src < n;
      x[s] = inside ? samples[src] * hann[s] : 0.0;
    }
    for (int k = 0; k < 201; ++k) {
      double re = 0, im = 0;
      for (int s = 0; s < 400; ++s) {
        re += x[s] * cos_t[(k * s) % 400];
        im -= x[s] * sin_t[(k * s) % 400];
      }
      power[k] = re * re + im * im;
    }
    for (int j = 0; j < 128; ++j) {
      double sum = 0;
      for (int k = 0; k < 201; ++k) sum += power[k] * filters.weights[j * 201 + k];
      values[static_cast<size_t>(j) * frames + f] = std::log10(std::max(sum, 1e-10));
    }
  }
  const double top = *std::max_element(values.begin(), values.end());
  for (double& v : values) v = (std::max(v, top - 8.0) + 4.0) / 4.0;
  return values;
}

double max_error(const std::vector<double>& exact, const whisper_mel& mel) {
  double worst = 0;
  for (size_t i = 0; i < exact.size() && i < mel.values.size(); ++i) {
    worst = std::max(worst, std::fabs(mel.values[i] - exact[i]));
  }
  return worst;
}

struct Difference {
  double near = 0;      // within 5 decades (1.25 after the rescale) of the maximum
  double anywhere = 0;
  bool identical = true;
};

Difference compare(const whisper_mel& reference, const whisper_mel& mel) {
  Difference d;
  if (reference.values.size() != mel.values.size()) return {1e9, 1e9, false};
  const float top = *std::max_element(reference.values.begin(), reference.values.end());
  for (size_t i = 0; i < mel.values.size(); ++i) {
    const double diff = std::fabs(static_cast<double>(mel.values[i]) - reference.values[i]);
    d.identical = d.identical && mel.values[i] == reference.values[i];
    d.anywhere = std::max(d.anywhere, diff);
    if (reference.values[i] >= top - 1.25f) d.near = std::max(d.near, diff);
  }
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int cores = static_cast<int>(CoreCount());
  const std::string bank = temp_file("bank.bin");
  if (!WriteWhisperFilterBank(bank)) return 1;
  whisper_set_mel_filters_path(bank.c_str());
  // The library keeps a bank only once its file times are a few seconds
  // old, as an installed one is; let this fresh file age that far first.
  std::this_thread::sleep_for(std::chrono::seconds(3));

  std::printf("log-mel spectrogram, 128 bins: library vs baseline vs asrfront, nproc = %d, "
              "best of %d runs\n", cores, reps);
  std::printf("%8s %6s %8s %12s %11s %12s %10s %10s %11s %11s\n", "samples", "audio", "threads",
              "baseline ms", "library ms", "asrfront ms", "vs base", "vs asrf", "diff<5dec",
              "diff all");
  bool within = true;
  bool have_front = false;
  for (int seconds : {5, 30}) {
    const std::vector<int16_t> pcm = BenchAudio(static_cast<size_t>(16000) * seconds);
    std::vector<float> samples(pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i) samples[i] = pcm[i] / 32768.0f;
    const int n = static_cast<int>(samples.size());
    // Rounds of every candidate in turn, each the best of its runs: the
    // other work of a shared machine weighs on all of them alike.
    double front = -1, base[3] = {1e300, 1e300, 1e300}, lib[3] = {1e300, 1e300, 1e300};
    whisper_filters base_filters, lib_filters;
    whisper_mel base_mel[3], lib_mel[3];
    for (int round = 0; round < 3; ++round) {
      const double f = asrfront_ms(samples, reps);
      if (f > 0) front = front > 0 ? std::min(front, f) : f;
      for (int threads : {1, 2}) {
        lib[threads] = std::min(lib[threads], BestSeconds(reps, [&] {
          log_mel_spectrogram(samples.data(), n, threads, lib_filters, lib_mel[threads]);
        }));
        if (round == 0) {  // slow and steady: once is enough
          base[threads] = BestSeconds(2, [&] {
            log_mel_spectrogram_baseline(samples.data(), n, threads, bank, base_filters,
                                         base_mel[threads]);
          });
        }
      }
    }
    have_front = have_front || front > 0;
    for (int threads : {1, 2}) {
      const Difference d = compare(base_mel[threads], lib_mel[threads]);
      within = within && d.near <= 1e-5;
      char vs_front[32] = "n/a";
      if (front > 0) std::snprintf(vs_front, sizeof(vs_front), "%.2f", front / (lib[threads] * 1e3));
      std::printf("%8d %5ds %8d %12.3f %11.3f %12.3f %10.2f %10s %11.2g %11.2g%s\n", n, seconds,
                  threads, base[threads] * 1e3, lib[threads] * 1e3, front,
                  base[threads] / lib[threads], vs_front, d.near, d.anywhere,
                  d.identical ? " identical" : "");
      if (threads == 2) {
        const std::vector<double> exact = exact_log_mel(samples, lib_filters, lib_mel[2].frames);
        const double lib_error = max_error(exact, lib_mel[2]);
        const double base_error = max_error(exact, base_mel[2]);
        std::printf("%8s %6s 2 threads vs 1: %.2fx; largest error against a double-precision "
                    "transform: library %.2g, baseline %.2g\n", "", "", lib[1] / lib[2],
                    lib_error, base_error);
        // Where the baseline's own rounding exceeds the tolerance, the
        // library must at least not be further from the exact values.
        within = within && (d.anywhere <= 1e-4 || lib_error <= base_error);
      }
    }
  }
  std::printf("asrfront: asrfront.whisper.log_mel(audio, 128, True), one thread%s\n",
              have_front ? "" : " (not installed: pip install asrfront)");
  std::remove(bank.c_str());
  return within ? 0 : 1;
}
