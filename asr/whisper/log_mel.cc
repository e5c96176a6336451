// Compiled with -ffp-contract=off (see mel_vector.h): every lane, thread
// count and architecture rounds the same way.
#include "whisper/log_mel.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "whisper/mel_fft.h"
#include "whisper/mel_workers.h"

namespace {

using whisper_spectrum::kFftBins;
using whisper_spectrum::kFftSize;

constexpr int kHop = 160;
constexpr int kMelBins = 128;
constexpr int kReflect = 200;               // reflected samples before the signal
constexpr int64_t kTrailingZeros = 480000 + 200;
constexpr float kPowerFloor = 1e-10f;         // mel power below it counts as it
constexpr float kFrameBeyondSignal = -10.0f;  // log10 of the floor

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The filter file path, process-wide. The lock only keeps a concurrent set
// from tearing the string; which path a running call sees is still up to
// the order of calls. Like the cache below it is never freed, so a call on
// a thread still running while the process exits finds it intact.
std::mutex g_path_mutex;
std::string& filters_path_locked() {
  static std::string* const path = new std::string("./data_bin/data.bin");
  return *path;
}

// A bin's non-zero weights: [begin, end) of the 201 FFT bins.
struct MelSpan {
  int begin;
  int end;
};

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
  std::vector<MelSpan> spans;
};
FilterCache& filter_cache() {
  static FilterCache* const cache = new FilterCache;
  return *cache;
}

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

// Each bin's span of non-zero weights (empty for a bin without any).
std::vector<MelSpan> find_spans(const whisper_filters& filters) {
  std::vector<MelSpan> spans(filters.mel_bins);
  for (int j = 0; j < filters.mel_bins; ++j) {
    const float* w = filters.weights.data() + static_cast<size_t>(j) * filters.fft_bins;
    int begin = 0, end = filters.fft_bins;
    while (begin < end && w[begin] == 0.0f) ++begin;
    while (end > begin && w[end - 1] == 0.0f) --end;
    spans[j] = {begin, end};
  }
  return spans;
}

// Fills filters.weights (mel_bins x fft_bins float32, little-endian) from
// the filter file, and spans with each bin's non-zero span. Bytes after the
// weights are ignored.
bool load_filters(whisper_filters& filters, std::vector<MelSpan>& spans) {
  std::string path = filters.path;
  if (path.empty()) {
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

  FilterCache& cache = filter_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (have_stat && cache.valid && cache.path == path && cache.dev == st.st_dev &&
      cache.ino == st.st_ino && cache.size == st.st_size && same_time(cache.mtime, st.st_mtim) &&
      same_time(cache.ctime, st.st_ctim) && cache.weights.size() == count) {
    std::copy(cache.weights.begin(), cache.weights.end(), filters.weights.begin());
    spans = cache.spans;
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
  spans = find_spans(filters);
  if (have_stat && have_now && settled(st.st_mtim, now) && settled(st.st_ctim, now)) {
    cache.path = path;
    cache.dev = st.st_dev;
    cache.ino = st.st_ino;
    cache.size = st.st_size;
    cache.mtime = st.st_mtim;
    cache.ctime = st.st_ctim;
    cache.weights = filters.weights;
    cache.spans = spans;
    cache.valid = true;
  }
  return true;
}

// Worker state that changes during a call sits on its own cache line, away
// from the read-only job description every thread keeps reading.
constexpr size_t kCacheLine = 64;

// The groups [next, end) not yet claimed from one part's range.
struct alignas(kCacheLine) PartRange {
  std::atomic<int> next{0};
  int end = 0;
};

struct MelJob {
  const float* samples;
  int n_samples;
  int64_t n;            // sample count + 200: no frame reads at or beyond it
  int computed_frames;  // min(n / 160 + 1, frames); later frames hold -10
  int stored_frames;    // the first frames, those written to values
  int groups;           // groups of kLanes frames that cover the computed ones
  int parts;            // one per thread
  const float* hann;
  const float* weights;
  const MelSpan* spans;
  float* values;        // bin j of frame i at values[j * stored_frames + i]
  PartRange* ranges;    // one per part: its contiguous share of the groups

  // The clamp needs the maximum of every part before any part rescales.
  alignas(kCacheLine) std::atomic<int> measured{0};
  std::mutex mutex;
  std::condition_variable parts_measured;
  float max = kFrameBeyondSignal;  // the uncomputed frames always take part
  // Parts whose values are all written; the call returns once it is parts.
  std::atomic<int> finished{0};
  std::condition_variable parts_finished;
};

// The padded signal at index p: 200 reflected samples (sample 0 left out;
// missing ones of a short input are 0), the samples, then zeros.
float padded_sample(const MelJob& job, int64_t p) {
  if (p < kReflect) {
    const int64_t src = kReflect - p;
    return src < job.n_samples ? job.samples[src] : 0.0f;
  }
  return p < job.n ? job.samples[p - kReflect] : 0.0f;
}

// Windowed frames first_frame .. first_frame + 7, one per lane, split into
// even and odd samples as the transform takes them. Frames that reach the
// reflection or the end of the signal are first assembled in edge; frames
// past the computed ones are zeros.
ZOR_LANES_INLINE void gather_frames(const MelJob& job, int first_frame,
                                    float (&edge)[whisper_spectrum::kLanes][kFftSize],
                                    whisper_spectrum::mel_fft_work& work) {
  using namespace whisper_spectrum;
  const float* src[kLanes];
  for (int l = 0; l < kLanes; ++l) {
    const int frame = first_frame + l;
    const int64_t offset = static_cast<int64_t>(frame) * kHop;  // index in the padded signal
    if (frame < job.computed_frames && offset >= kReflect && offset + kFftSize <= job.n) {
      src[l] = job.samples + (offset - kReflect);
      continue;
    }
    for (int s = 0; s < kFftSize; ++s) {
      edge[l][s] = frame < job.computed_frames ? padded_sample(job, offset + s) : 0.0f;
    }
    src[l] = edge[l];
  }
  // Blocks of 8 samples: an 8 x 8 transpose puts the lanes side by side,
  // and sample s of every lane lands in re (s even) or im (s odd) of s / 2.
  for (int b = 0; b < kFftSize / kLanes; ++b) {
    const lanes_f32 h = lanes_load(job.hann + kLanes * b);
    lanes_f32 block[kLanes];
    for (int l = 0; l < kLanes; ++l) block[l] = lanes_load(src[l] + kLanes * b) * h;
    lanes_transpose(block);
    for (int i = 0; i < kLanes; ++i) {
      const int s = kLanes * b + i;
      lanes_store((s % 2 == 0 ? work.re : work.im) + (s / 2) * kLanes, block[i]);
    }
  }
}

// Spectrogram values (before the clamp) of the groups [group_begin,
// group_end); returns their maximum. Allocates nothing.
ZOR_LANES_CLONES float compute_groups(const MelJob& job, int group_begin, int group_end) noexcept {
  using whisper_spectrum::kLanes;
  using whisper_spectrum::lanes_f32;
  whisper_spectrum::mel_fft_work work;
  alignas(32) float edge[kLanes][kFftSize];
  alignas(32) float power[kFftBins * kLanes];
  alignas(32) float mel[kMelBins * kLanes];
  lanes_f32 top = whisper_spectrum::lanes_splat(kFrameBeyondSignal);
  const lanes_f32 floor = whisper_spectrum::lanes_splat(kPowerFloor);
  const lanes_f32 beyond = whisper_spectrum::lanes_splat(kFrameBeyondSignal);
  for (int g = group_begin; g < group_end; ++g) {
    const int first = g * kLanes;
    gather_frames(job, first, edge, work);
    whisper_spectrum::mel_power_spectrum(work, power);
    // All sums first, then all logarithms: independent iterations that
    // overlap in the processor, where alternating them would chain.
    for (int j = 0; j < kMelBins; ++j) {
      // Only the filter's non-zero span: the rest adds exact zeros.
      const float* w = job.weights + static_cast<size_t>(j) * kFftBins;
      lanes_f32 sum{};
      for (int k = job.spans[j].begin; k < job.spans[j].end; ++k) {
        sum += whisper_spectrum::lanes_load(power + k * kLanes) * w[k];
      }
      whisper_spectrum::lanes_store(mel + j * kLanes, sum);
    }
    const int count =
        std::max(0, std::min(kLanes, std::min(job.computed_frames, job.stored_frames) - first));
    for (int j = 0; j < kMelBins; ++j) {
      const lanes_f32 sum = whisper_spectrum::lanes_load(mel + j * kLanes);
      const auto low = sum < floor;
      lanes_f32 v = whisper_spectrum::lanes_log10(low ? floor : sum);
      v = low ? beyond : v;  // log10 of the floor, exactly
      top = whisper_spectrum::lanes_max(top, v);  // lanes past the signal hold -10
      float* out = job.values + static_cast<size_t>(j) * job.stored_frames + first;
      if (count == kLanes) {
        whisper_spectrum::lanes_store(out, v);
      } else {
        for (int l = 0; l < count; ++l) out[l] = v[l];
      }
    }
  }
  float result = kFrameBeyondSignal;
  for (int l = 0; l < kLanes; ++l) result = std::max(result, top[l]);
  return result;
}

// Clamp at floor_value and rescale: (max(v, floor) + 4) / 4, exactly the
// double-precision result rounded to float (v + 4 is exact in double for
// these magnitudes, and so is the quarter).
ZOR_LANES_CLONES void rescale(float* v, size_t count, float floor_value) noexcept {
  using whisper_spectrum::kLanes;
  using whisper_spectrum::lanes_f32;
  const lanes_f32 floor = whisper_spectrum::lanes_splat(floor_value);
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const lanes_f32 x = whisper_spectrum::lanes_max(whisper_spectrum::lanes_load(v + i), floor);
    whisper_spectrum::lanes_store(v + i, (x + 4.0f) * 0.25f);
  }
  for (; i < count; ++i) v[i] = (std::max(v[i], floor_value) + 4.0f) * 0.25f;
}

// About 0.1 ms of work: less does not pay for handing a part to another thread.
constexpr int kMinGroupsPerThread = 24;

// The start of part `part`'s share of count items: share(count, t, parts)
// to share(count, t + 1, parts) is part t's.
int share(int count, int part, int parts) {
  return static_cast<int>(static_cast<int64_t>(count) * part / parts);
}

// Groups are claimed a few at a time; each part starts on its own
// contiguous range, so no two threads write the same cache line of a row
// except where one range ends, and then takes what is left of the others'
// ranges: a thread that starts late or loses its core to other work holds
// nobody up.
constexpr int kClaimGroups = 2;

// How long a thread spins on the others before it sleeps: the parts usually
// finish within a claim of each other, sooner than a sleeping thread is
// woken.
constexpr std::chrono::microseconds kSpinTime{200};

// Spins until count reaches parts or the spin time is over.
void spin_until(const std::atomic<int>& count, int parts) noexcept {
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  do {
    for (int spin = 0; spin < 256; ++spin) {
      if (count.load(std::memory_order_acquire) == parts) return;
    }
  } while (std::chrono::steady_clock::now() < until);
}

// One thread's part: groups until none is left, then its maximum to the others.
void compute_part(MelJob& job, int part) noexcept {
  float top = kFrameBeyondSignal;
  for (int k = 0; k < job.parts; ++k) {
    PartRange& range = job.ranges[(part + k) % job.parts];
    for (;;) {
      const int first = range.next.fetch_add(kClaimGroups, std::memory_order_relaxed);
      if (first >= range.end) break;
      top = std::max(top, compute_groups(job, first, std::min(first + kClaimGroups, range.end)));
    }
  }
  std::lock_guard<std::mutex> lock(job.mutex);
  job.max = std::max(job.max, top);
  if (job.measured.fetch_add(1, std::memory_order_release) + 1 == job.parts) {
    job.parts_measured.notify_all();
  }
}

// Once every part has its maximum: the clamp and rescale of the frames of
// part t's range (mostly computed by this thread, still in its cache), and
// its share of the uncomputed ones.
void finish_part(MelJob& job, int part) noexcept {
  spin_until(job.measured, job.parts);
  float floor_value;
  {
    std::unique_lock<std::mutex> lock(job.mutex);
    job.parts_measured.wait(lock, [&job] { return job.measured == job.parts; });
    floor_value = job.max - 8.0f;  // the double difference, rounded: same clamp
  }
  using whisper_spectrum::kLanes;
  const int computed = std::min(job.computed_frames, job.stored_frames);
  const int f0 = std::min(computed, share(job.groups, part, job.parts) * kLanes);
  const int f1 = std::min(computed, share(job.groups, part + 1, job.parts) * kLanes);
  const int beyond_frames = job.stored_frames - computed;
  const int r0 = computed + share(beyond_frames, part, job.parts);
  const int r1 = computed + share(beyond_frames, part + 1, job.parts);
  const float beyond = (std::max(kFrameBeyondSignal, floor_value) + 4.0f) * 0.25f;
  for (int j = 0; j < kMelBins; ++j) {
    float* row = job.values + static_cast<size_t>(j) * job.stored_frames;
    rescale(row + f0, static_cast<size_t>(f1 - f0), floor_value);
    std::fill(row + r0, row + r1, beyond);
  }
  // Notified under the lock: the caller cannot take it, return and end the
  // job before this thread has let go of it.
  std::lock_guard<std::mutex> lock(job.mutex);
  if (job.finished.fetch_add(1, std::memory_order_release) + 1 == job.parts) {
    job.parts_finished.notify_all();
  }
}

// A helper thread's part.
void run_part(void* job, int part) noexcept {
  compute_part(*static_cast<MelJob*>(job), part);
  finish_part(*static_cast<MelJob*>(job), part);
}

void fail_to_stdout() {
  std::printf("%s: failed to compute mel spectrogram\n", "whisper_pcm_to_mel_with_state");
  std::fflush(stdout);
}

// Frame count of the spectrogram of n_samples samples: (padded size - 400) / 160.
int total_frames(int n_samples) {
  const int64_t padded_size = static_cast<int64_t>(n_samples) + kReflect + kTrailingZeros;
  return static_cast<int>((padded_size - kFftSize) / kHop);
}

// The first stored_frames frames of the spectrogram into values (rows of
// stored_frames); the clamp follows the maximum over every frame. Returns
// false as log_mel_spectrogram does.
bool compute_spectrogram(const float* samples, int n_samples, int n_threads,
                         whisper_filters& filters, float* values, int stored_frames) {
  if (n_samples < 0 || (n_samples > 0 && samples == nullptr) || stored_frames < 0) return false;
  // The frame loop reads 201 weights for each of 128 bins.
  if (filters.mel_bins != kMelBins || filters.fft_bins != kFftBins) return false;
  std::vector<MelSpan> spans;
  if (!load_filters(filters, spans)) return false;

  // The padded signal is not built: frames read the samples in place, and
  // the reflection and the trailing zeros are worked out where a frame
  // reaches them.
  MelJob job;
  job.samples = samples;
  job.n_samples = n_samples;
  job.n = static_cast<int64_t>(n_samples) + kReflect;
  job.computed_frames =
      static_cast<int>(std::min<int64_t>(job.n / kHop + 1, total_frames(n_samples)));
  job.stored_frames = std::min(stored_frames, total_frames(n_samples));
  job.groups = (job.computed_frames + whisper_spectrum::kLanes - 1) / whisper_spectrum::kLanes;
  // At least one part (0 or fewer threads act as 1). Threads beyond the
  // processor count, or with less work than handing it over costs, only
  // slow the call down; the bits do not depend on the split.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const int worth = std::max(1, job.groups / kMinGroupsPerThread);
  job.parts = std::max(1, std::min({n_threads, worth, cores > 0 ? cores : n_threads}));
  job.hann = whisper_spectrum::mel_hann_window();
  job.weights = filters.weights.data();
  job.spans = spans.data();
  job.values = values;
  std::vector<PartRange> ranges(job.parts);
  for (int t = 0; t < job.parts; ++t) {
    ranges[t].next.store(share(job.groups, t, job.parts), std::memory_order_relaxed);
    ranges[t].end = share(job.groups, t + 1, job.parts);
  }
  job.ranges = ranges.data();

  // Parts 1 and up go to the helper threads; part 0, and every part no
  // helper has taken once part 0's groups are done, runs here.
  std::vector<whisper_spectrum::mel_task> tasks(job.parts - 1);
  std::vector<int> run_here{0};
  run_here.reserve(job.parts);
  for (int t = 1; t < job.parts; ++t) tasks[t - 1] = {run_part, &job, t, false};
  whisper_spectrum::mel_offer_tasks(tasks.data(), job.parts - 1);
  compute_part(job, 0);
  whisper_spectrum::mel_withdraw_tasks(tasks.data(), job.parts - 1);
  for (const whisper_spectrum::mel_task& task : tasks) {
    if (!task.taken) run_here.push_back(task.part);
  }
  // Every part here is measured before any waits for the others' maxima.
  for (size_t i = 1; i < run_here.size(); ++i) compute_part(job, run_here[i]);
  for (int t : run_here) finish_part(job, t);
  // The helpers' parts use the job until they have counted themselves
  // finished, under its lock.
  spin_until(job.finished, job.parts);
  std::unique_lock<std::mutex> lock(job.mutex);
  job.parts_finished.wait(lock, [&job] { return job.finished == job.parts; });
  return true;
}

}  // namespace

bool log_mel_spectrogram(const float* samples, int n_samples, int n_threads,
                         whisper_filters& filters, whisper_mel& mel) {
  if (n_samples < 0) return false;
  mel.bins = kMelBins;
  mel.frames = total_frames(n_samples);
  mel.signal_frames = 1 + (n_samples - 200) / kHop;
  // Every value is written; a reused spectrogram of the same size costs
  // nothing here.
  mel.values.resize(static_cast<size_t>(kMelBins) * mel.frames);
  return compute_spectrogram(samples, n_samples, n_threads, filters, mel.values.data(),
                             mel.frames);
}

int whisper_pcm_to_mel_frames(whisper_filters& filters, const float* samples, int n_samples,
                              int n_threads, float* out, int frames) {
  try {
    if (out != nullptr && frames <= total_frames(std::max(0, n_samples)) &&
        compute_spectrogram(samples, n_samples, n_threads, filters, out, frames)) {
      return 0;
    }
  } catch (...) {
    // Out of memory; reported like any other failure, never thrown across C.
  }
  fail_to_stdout();
  return -1;
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
