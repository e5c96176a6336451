// Compiled with -ffp-contract=off (see CMakeLists.txt): the filter sums and
// the rescale are rounded exactly as written.
#include "whisper/log_mel.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "whisper/mel_fft.h"

namespace {

using whisper_spectrum::kFftSize;

constexpr int kHop = 160;
constexpr int kMelBins = 128;
constexpr int kFftBins = kFftSize / 2 + 1;  // 201
constexpr int kReflect = 200;               // reflected samples before the signal
constexpr int64_t kTrailingZeros = 480000 + 200;
constexpr float kFrameBeyondSignal = -10.0f;  // log10 of the 1e-10 floor

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The filter file path, process-wide. The lock only keeps a concurrent set
// from tearing the string; which path a running call sees is still up to
// the order of calls.
std::mutex g_path_mutex;
std::string& filters_path_locked() {
  static std::string path = "./data_bin/data.bin";
  return path;
}

// The last filter bank read, kept with the identity of the file it came
// from. Every call still opens the file (so a missing file fails with the
// same message as without a cache) and compares its identity; any change
// reads it again.
struct FilterCache {
  std::mutex mutex;
  bool valid = false;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  struct timespec ctime {};
  std::vector<float> weights;
};
FilterCache g_filter_cache;

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// File times advance in clock ticks (or whole seconds on some file systems),
// so a file rewritten within the tick of the read can keep its size and
// times. A bank read while its times are that recent is used but not kept:
// the next call reads it again.
constexpr time_t kSettledSeconds = 2;
bool settled(const struct timespec& file_time, const struct timespec& now) {
  return file_time.tv_sec + kSettledSeconds < now.tv_sec;
}

// Fills filters.weights (mel_bins x fft_bins float32, little-endian) from
// the filter file. Bytes after the weights are ignored.
bool load_filters(whisper_filters& filters) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_path_mutex);
    path = filters_path_locked();
  }
  const size_t count = static_cast<size_t>(filters.mel_bins) * static_cast<size_t>(filters.fft_bins);
  filters.weights.resize(count);
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    std::fprintf(stderr, "%s : fail to open '%s'\n", "log_mel_spectrogram", path.c_str());
    return false;
  }
  struct stat st {};
  const bool have_stat = fstat(fileno(file.get()), &st) == 0;

  std::lock_guard<std::mutex> lock(g_filter_cache.mutex);
  FilterCache& cache = g_filter_cache;
  if (have_stat && cache.valid && cache.path == path && cache.dev == st.st_dev &&
      cache.ino == st.st_ino && cache.size == st.st_size && same_time(cache.mtime, st.st_mtim) &&
      same_time(cache.ctime, st.st_ctim) && cache.weights.size() == count) {
    std::copy(cache.weights.begin(), cache.weights.end(), filters.weights.begin());
    return true;
  }
  cache.valid = false;
  struct timespec now {};
  const bool have_now = clock_gettime(CLOCK_REALTIME, &now) == 0;
  std::vector<unsigned char> bytes(count * 4);
  if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    std::fprintf(stderr, "%s : fail to read '%s'\n", "log_mel_spectrogram", path.c_str());
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* b = &bytes[i * 4];
    const uint32_t bits = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                          uint32_t(b[3]) << 24;
    std::memcpy(&filters.weights[i], &bits, sizeof(float));
  }
  if (have_stat && have_now && settled(st.st_mtim, now) && settled(st.st_ctim, now)) {
    cache.path = path;
    cache.dev = st.st_dev;
    cache.ino = st.st_ino;
    cache.size = st.st_size;
    cache.mtime = st.st_mtim;
    cache.ctime = st.st_ctim;
    cache.weights = filters.weights;
    cache.valid = true;
  }
  return true;
}

struct MelJob {
  const float* padded;  // reflection + samples; never read at or beyond n
  int64_t n;            // sample count + 200
  int frames;
  int computed_frames;  // min(n / 160 + 1, frames); later frames stay -10
  int n_threads;
  const whisper_filters* filters;
  float* values;
};

// Frames t, t + T, t + 2T, ... of the computed ones. Allocates nothing, so
// it cannot throw while other workers still run.
void mel_worker(int thread_index, const MelJob& job) noexcept {
  const whisper_spectrum::mel_tables& tables = whisper_spectrum::get_mel_tables();
  float frame[kFftSize];
  float spectrum[2 * kFftSize];
  float power[kFftBins];
  float scratch[whisper_spectrum::mel_fft_scratch_size(kFftSize)];
  const float* weights = job.filters->weights.data();
  const int fft_bins = job.filters->fft_bins;

  for (int i = thread_index; i < job.computed_frames; i += job.n_threads) {
    const int64_t offset = static_cast<int64_t>(i) * kHop;
    const int m = static_cast<int>(std::min<int64_t>(kFftSize, job.n - offset));
    for (int s = 0; s < m; ++s) frame[s] = job.padded[offset + s] * tables.hann[s];
    std::fill(frame + m, frame + kFftSize, 0.0f);

    whisper_spectrum::mel_fft(frame, kFftSize, spectrum, scratch);
    for (int k = 0; k < kFftBins; ++k) {
      power[k] = spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1];
    }
    for (int j = 0; j < kMelBins; ++j) {
      const float* w = weights + static_cast<size_t>(j) * fft_bins;
      double sum = 0.0;
      int k = 0;
      for (; k + 3 < kFftBins; k += 4) {
        const float group = power[k] * w[k] + power[k + 1] * w[k + 1] +
                            power[k + 2] * w[k + 2] + power[k + 3] * w[k + 3];
        sum += group;
      }
      for (; k < kFftBins; ++k) sum += power[k] * w[k];
      job.values[static_cast<size_t>(j) * job.frames + i] =
          static_cast<float>(std::log10(std::max(sum, 1e-10)));
    }
  }
}

void fail_to_stdout() {
  std::printf("%s: failed to compute mel spectrogram\n", "whisper_pcm_to_mel_with_state");
  std::fflush(stdout);
}

}  // namespace

bool log_mel_spectrogram(const float* samples, int n_samples, int n_threads,
                         whisper_filters& filters, whisper_mel& mel) {
  if (n_samples < 0 || (n_samples > 0 && samples == nullptr)) return false;
  // The frame loop reads 201 weights for each of 128 bins.
  if (filters.mel_bins != kMelBins || filters.fft_bins != kFftBins) return false;
  whisper_spectrum::get_mel_tables();
  if (!load_filters(filters)) return false;

  // Only the reflection and the samples are stored: a frame never reads at
  // or beyond n = sample count + 200, so the trailing zeros are implicit.
  const int64_t n = static_cast<int64_t>(n_samples) + kReflect;
  std::vector<float> padded(static_cast<size_t>(n));
  for (int p = 0; p < kReflect; ++p) {
    const int src = kReflect - p;  // 200, 199, ..., 1; sample 0 is not mirrored
    padded[p] = src < n_samples ? samples[src] : 0.0f;  // short input: missing samples are 0
  }
  if (n_samples > 0) std::copy(samples, samples + n_samples, padded.begin() + kReflect);

  const int64_t padded_size = static_cast<int64_t>(n_samples) + kReflect + kTrailingZeros;
  mel.bins = kMelBins;
  mel.frames = static_cast<int>((padded_size - kFftSize) / kHop);
  mel.signal_frames = 1 + (n_samples - 200) / kHop;
  mel.values.assign(static_cast<size_t>(kMelBins) * mel.frames, kFrameBeyondSignal);

  MelJob job;
  job.padded = padded.data();
  job.n = n;
  job.frames = mel.frames;
  job.computed_frames = static_cast<int>(std::min<int64_t>(n / kHop + 1, mel.frames));
  // At least one thread (0 or fewer would never advance), and no thread
  // without a frame to compute; the bits do not depend on the split.
  job.n_threads = std::max(1, std::min(n_threads, job.computed_frames));
  job.filters = &filters;
  job.values = mel.values.data();

  std::vector<std::thread> workers;
  std::vector<int> run_here{0};
  workers.reserve(job.n_threads - 1);
  run_here.reserve(job.n_threads);
  for (int t = 1; t < job.n_threads; ++t) {
    try {
      workers.emplace_back(mel_worker, t, std::cref(job));
    } catch (...) {
      // No thread to be had (or no memory for its state): this thread does
      // its frames. run_here has room for every index, so this cannot throw.
      run_here.push_back(t);
    }
  }
  for (int t : run_here) mel_worker(t, job);
  for (std::thread& w : workers) w.join();

  double mmax = -1e20;
  for (float v : mel.values) mmax = std::max(mmax, static_cast<double>(v));
  const double floor_value = mmax - 8.0;
  for (float& v : mel.values) {
    if (v < floor_value) v = static_cast<float>(floor_value);
    v = static_cast<float>((v + 4.0) * 0.25);
  }
  return true;
}

extern "C" void whisper_set_mel_filters_path(const char* path) {
  if (path == nullptr || path[0] == '\0') return;
  try {
    std::lock_guard<std::mutex> lock(g_path_mutex);
    filters_path_locked() = path;
  } catch (...) {
    // Out of memory while copying the path: the previous path stays.
  }
}

extern "C" int whisper_pcm_to_mel_with_state(whisper_context* ctx, whisper_segment_state* state,
                                             const float* samples, int n_samples, int n_threads) {
  try {
    if (ctx != nullptr && state != nullptr &&
        log_mel_spectrogram(samples, n_samples, n_threads, ctx->filters, state->mel)) {
      return 0;
    }
  } catch (...) {
    // Out of memory; reported like any other failure, never thrown across C.
  }
  fail_to_stdout();
  return -1;
}
