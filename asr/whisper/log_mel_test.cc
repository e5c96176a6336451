#include "whisper/log_mel.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "log_mel_baseline.h"

namespace {

std::string temp_dir() {
  const char* env = std::getenv("ZOR_TEST_TMP");
  std::string dir = env && *env ? env : "/tmp";
  std::string cmd = "mkdir -p '" + dir + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return dir;
}

std::string temp_path(const std::string& name) {
  return temp_dir() + "/log_mel_test_" + std::to_string(getpid()) + "_" + name;
}

// A triangular mel-spaced bank, 128 x 201, like the real one in shape.
std::vector<float> make_filter_bank(float scale = 1.0f) {
  auto hz_to_mel = [](double f) { return 2595.0 * std::log10(1.0 + f / 700.0); };
  auto mel_to_hz = [](double m) { return 700.0 * (std::pow(10.0, m / 2595.0) - 1.0); };
  std::vector<double> edges(130);
  for (int i = 0; i < 130; ++i) edges[i] = mel_to_hz(hz_to_mel(8000.0) * i / 129.0);
  std::vector<float> w(128 * 201, 0.0f);
  for (int j = 0; j < 128; ++j) {
    for (int k = 0; k < 201; ++k) {
      const double f = 8000.0 * k / 200.0;
      const double up = (f - edges[j]) / (edges[j + 1] - edges[j]);
      const double down = (edges[j + 2] - f) / (edges[j + 2] - edges[j + 1]);
      const double v = std::max(0.0, std::min(up, down)) * 2.0 / (edges[j + 2] - edges[j]);
      w[j * 201 + k] = static_cast<float>(v) * scale;
    }
  }
  return w;
}

void write_bytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string write_filter_file(const std::string& name, const std::vector<float>& w,
                              size_t extra_bytes = 0) {
  std::string path = temp_path(name);
  std::vector<char> bytes(w.size() * 4 + extra_bytes, 'x');
  std::memcpy(bytes.data(), w.data(), w.size() * 4);  // hosts are little-endian
  write_bytes(path, bytes.data(), bytes.size());
  return path;
}

std::vector<float> noise(int n, float amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// Speech from espeak-ng, read from its WAV output (its own sample rate is
// fine here: only the arithmetic is compared).
std::vector<float> speech() {
  const std::string wav = temp_path("speech.wav");
  const std::string cmd = "espeak-ng -w '" + wav + "' 'The quick brown fox jumps over the lazy dog.'";
  if (std::system(cmd.c_str()) != 0) return {};
  std::ifstream in(wav, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(wav.c_str());
  for (size_t pos = 12; pos + 8 <= bytes.size();) {
    uint32_t size;
    std::memcpy(&size, &bytes[pos + 4], 4);
    if (std::memcmp(&bytes[pos], "data", 4) == 0) {
      const size_t n = std::min<size_t>(size, bytes.size() - pos - 8) / 2;
      std::vector<float> out(n);
      for (size_t i = 0; i < n; ++i) {
        int16_t s;
        std::memcpy(&s, &bytes[pos + 8 + 2 * i], 2);
        out[i] = s / 32768.0f;
      }
      return out;
    }
    pos += 8 + size + (size & 1);
  }
  return {};
}

whisper_mel compute(const std::vector<float>& samples, int threads) {
  whisper_context ctx;
  whisper_segment_state state;
  EXPECT_EQ(whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(),
                                          static_cast<int>(samples.size()), threads),
            0);
  return state.mel;
}

// A computation expected to fail: its status and what it wrote to standard
// error and standard output.
struct Failure {
  int status;
  std::string err, out;
};

Failure compute_failing(const std::vector<float>& samples) {
  whisper_context ctx;
  whisper_segment_state state;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Failure f;
  f.status = whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(),
                                           static_cast<int>(samples.size()), 1);
  f.err = testing::internal::GetCapturedStderr();
  f.out = testing::internal::GetCapturedStdout();
  return f;
}

bool same_bits(const whisper_mel& a, const whisper_mel& b) {
  return a.frames == b.frames && a.bins == b.bins && a.signal_frames == b.signal_frames &&
         a.values.size() == b.values.size() &&
         std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(float)) == 0;
}

// Same shape, and every value within what the faster arithmetic may change;
// another filter bank (scaled by 2 or more) moves values by 0.075 or more.
bool close(const whisper_mel& a, const whisper_mel& b) {
  if (a.frames != b.frames || a.bins != b.bins || a.values.size() != b.values.size()) return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    if (std::fabs(a.values[i] - b.values[i]) > 1e-4f) return false;
  }
  return true;
}

class LogMelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    filters_path_ = write_filter_file("bank.bin", make_filter_bank());
    whisper_set_mel_filters_path(filters_path_.c_str());
  }
  void TearDown() override { std::remove(filters_path_.c_str()); }

  // The library against the straightforward version at every value, and
  // across thread counts bit for bit. The transform and the logarithm round
  // differently from the baseline's, so values may differ by a few units in
  // the last place near the maximum, more in the deepest bins (where the
  // single-precision transform's rounding is large against the power
  // itself). Returns the largest difference within 5 decades (1.25 after
  // the rescale) of the maximum and the largest anywhere.
  std::pair<double, double> expect_close_to_baseline(const std::vector<float>& samples,
                                                     const std::string& what) {
    SCOPED_TRACE(what + ", " + std::to_string(samples.size()) + " samples");
    whisper_filters filters;
    whisper_mel reference;
    EXPECT_TRUE(log_mel_spectrogram_baseline(samples.data(), static_cast<int>(samples.size()), 2,
                                             filters_path_, filters, reference));
    const whisper_mel one = compute(samples, 1);
    EXPECT_EQ(one.frames, reference.frames);
    EXPECT_EQ(one.signal_frames, reference.signal_frames);
    if (one.values.size() != reference.values.size()) {
      ADD_FAILURE() << "sizes differ";
      return {1.0, 1.0};
    }
    const float top = *std::max_element(reference.values.begin(), reference.values.end());
    double near = 0.0, anywhere = 0.0;
    for (size_t i = 0; i < one.values.size(); ++i) {
      const double d = std::fabs(static_cast<double>(one.values[i]) - reference.values[i]);
      anywhere = std::max(anywhere, d);
      if (reference.values[i] >= top - 1.25f) near = std::max(near, d);
    }
    EXPECT_LE(near, kNearMaximum);
    EXPECT_LE(anywhere, kAnywhere);
    EXPECT_TRUE(same_bits(one, compute(samples, 2))) << "2 threads differ from 1";
    EXPECT_TRUE(same_bits(one, compute(samples, 8))) << "8 threads differ from 1";
    std::printf("[ measured ] %s, %zu samples: %.3g within 5 decades, %.3g anywhere\n",
                what.c_str(), samples.size(), near, anywhere);
    return {near, anywhere};
  }

  // The largest differences measured over the inputs below (4.1e-6 and
  // 9.0e-5, the latter in a 7.9 kHz tone's deepest bins), rounded up.
  static constexpr double kNearMaximum = 5e-6;
  static constexpr double kAnywhere = 1e-4;

  std::string filters_path_;
};

TEST_F(LogMelTest, CloseToBaselineOnEveryKindOfInput) {
  expect_close_to_baseline(std::vector<float>(16000, 0.0f), "silence");
  const std::vector<float> voice = speech();
  ASSERT_GT(voice.size(), 16000u) << "espeak-ng gave no speech";
  expect_close_to_baseline(voice, "speech");
  expect_close_to_baseline(noise(72000, 0.3f, 1), "noise");
  std::vector<float> clipped(80000);
  for (size_t i = 0; i < clipped.size(); ++i) {
    clipped[i] = std::max(-1.0f, std::min(1.0f, 4.0f * std::sin(0.05f * i)));
  }
  expect_close_to_baseline(clipped, "clipped sine");
  for (double hz : {440.0, 1000.0, 3999.0, 7900.0}) {
    std::vector<float> tone(48000);
    for (size_t i = 0; i < tone.size(); ++i) {
      tone[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * i / 16000.0));
    }
    expect_close_to_baseline(tone, "pure tone " + std::to_string(static_cast<int>(hz)) + " Hz");
  }
  for (int n : {1, 150, 200, 201, 16000, 72000, 80000}) {
    expect_close_to_baseline(noise(n, 0.5f, 100 + n), "noise by length");
  }
}

TEST_F(LogMelTest, EveryTailOfTheFrameGroups) {
  // Frames are computed eight at a time; (n + 200) / 160 + 1 of them. These
  // lengths leave every remainder from 0 to 7 in the last group, from one
  // to three groups, and rescale runs of every length.
  for (int frames = 2; frames <= 25; ++frames) {
    const int n = (frames - 1) * 160 - 200 + (frames % 3) * 40;
    if (n < 1) continue;
    expect_close_to_baseline(noise(n, 0.4f, 300 + frames),
                             std::to_string(frames) + " computed frames");
  }
}

TEST_F(LogMelTest, FirstFramesAreThoseOfTheWholeSpectrogram) {
  // 490,000 samples have signal past frame 3000: its maximum still sets the
  // clamp of the first frames.
  std::vector<float> loud_end = noise(490000, 0.01f, 23);
  for (size_t i = 485000; i < loud_end.size(); ++i) loud_end[i] *= 90.0f;
  for (const std::vector<float>& samples :
       {noise(100, 0.3f, 21), noise(16000, 0.3f, 22), noise(80000, 0.3f, 24), loud_end}) {
    SCOPED_TRACE(std::to_string(samples.size()) + " samples");
    const whisper_mel whole = compute(samples, 1);
    for (int threads : {1, 2, 8}) {
      std::vector<float> head(128 * 3000, 7.0f);
      whisper_filters filters;
      ASSERT_EQ(whisper_pcm_to_mel_frames(filters, samples.data(), static_cast<int>(samples.size()),
                                          threads, head.data(), 3000),
                0);
      for (int j = 0; j < 128; ++j) {
        ASSERT_EQ(std::memcmp(&head[j * 3000], &whole.values[j * whole.frames], 3000 * 4), 0)
            << "bin " << j << ", " << threads << " threads";
      }
    }
  }
}

TEST_F(LogMelTest, AnyNumberOfFirstFrames) {
  // 1 to 9 stored frames and more, of an input with 20 computed ones: stores
  // end inside a group of eight, or past the computed frames.
  const std::vector<float> samples = noise(3000, 0.3f, 26);
  const whisper_mel whole = compute(samples, 1);
  for (int frames : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 17, 19, 20, 21, 25}) {
    std::vector<float> head(128 * frames + 1, 7.0f);
    whisper_filters filters;
    ASSERT_EQ(whisper_pcm_to_mel_frames(filters, samples.data(), 3000, 2, head.data(), frames), 0);
    for (int j = 0; j < 128; ++j) {
      ASSERT_EQ(std::memcmp(&head[j * frames], &whole.values[j * whole.frames], frames * 4), 0)
          << frames << " frames, bin " << j;
    }
    EXPECT_EQ(head.back(), 7.0f) << "written past " << frames << " frames";
  }
}

TEST_F(LogMelTest, FirstFramesEndingInEitherThreadsShare) {
  // 80,000 samples: 501 computed frames in 63 groups, which two threads
  // split at group 31 (frame 248) and rescale along the same split. Stores
  // end inside the first share, at its end, inside the second, at the last
  // computed frame and past it.
  const std::vector<float> samples = noise(80000, 0.3f, 27);
  const whisper_mel whole = compute(samples, 1);
  for (int frames : {1, 100, 247, 248, 249, 400, 500, 501, 502, 3000}) {
    std::vector<float> head(128 * frames + 1, 7.0f);
    whisper_filters filters;
    ASSERT_EQ(whisper_pcm_to_mel_frames(filters, samples.data(), 80000, 2, head.data(), frames),
              0);
    for (int j = 0; j < 128; ++j) {
      ASSERT_EQ(std::memcmp(&head[j * frames], &whole.values[j * whole.frames], frames * 4), 0)
          << frames << " frames, bin " << j;
    }
    EXPECT_EQ(head.back(), 7.0f) << "written past " << frames << " frames";
  }
}

TEST_F(LogMelTest, FirstFramesFailLikeTheWholeSpectrogram) {
  std::vector<float> head(128 * 3000);
  whisper_filters filters;
  const std::vector<float> samples = noise(16000, 0.2f, 25);
  testing::internal::CaptureStdout();
  EXPECT_EQ(whisper_pcm_to_mel_frames(filters, samples.data(), 16000, 1, nullptr, 3000), -1);
  EXPECT_EQ(whisper_pcm_to_mel_frames(filters, samples.data(), 16000, 1, head.data(), 3101), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n"
            "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n");
  const std::string missing = temp_path("missing_head.bin");
  whisper_set_mel_filters_path(missing.c_str());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(whisper_pcm_to_mel_frames(filters, samples.data(), 16000, 1, head.data(), 3000), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "log_mel_spectrogram : fail to open '" + missing + "'\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n");
}

TEST_F(LogMelTest, SameBitsOnEveryArchitecture) {
  // Inputs and a filter bank made with integer and exact float arithmetic
  // only (no libm that might differ between platforms); the hash of every
  // value is pinned, so x86-64 (each of its instruction-set variants) and
  // aarch64 must agree bit for bit. A change of the arithmetic changes it.
  std::vector<float> bank(128 * 201, 0.0f);
  for (int j = 0; j < 128; ++j) {
    const int lo = j * 3 / 2, mid = lo + 2 + j / 16, hi = mid + 2 + j / 12;
    for (int k = lo; k <= hi && k < 201; ++k) {
      bank[j * 201 + k] = (k <= mid ? float(k - lo + 1) / float(mid - lo + 1)
                                    : float(hi - k + 1) / float(hi - mid + 1)) * 0.01f;
    }
  }
  const std::string path = write_filter_file("exact_bank.bin", bank);
  whisper_set_mel_filters_path(path.c_str());
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the bits of every value
  for (int n : {1, 333, 16000, 80000}) {
    std::vector<float> samples(n);
    uint32_t state = 99u + static_cast<uint32_t>(n);
    for (int i = 0; i < n; ++i) {
      state = state * 1664525u + 1013904223u;
      samples[i] = (static_cast<float>(state >> 8) / 16777216.0f - 0.5f) * 0.6f +
                   ((i / 37) % 2 != 0 ? 0.3f : -0.3f);
    }
    const whisper_mel one = compute(samples, 1);
    for (float v : one.values) {
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      hash = (hash ^ bits) * 1099511628211ull;
    }
    EXPECT_TRUE(same_bits(one, compute(samples, 3))) << n << " samples";
  }
  std::remove(path.c_str());
  EXPECT_EQ(hash, 0xb9a4545acf1d5cbfull) << std::hex << hash;
}

TEST_F(LogMelTest, FrameCountsAndUncomputedFrames) {
  // A quiet signal keeps -10 above the clamp floor, so uncomputed frames
  // show up as exactly (-10 + 4) / 4.
  const whisper_mel mel = compute(noise(16000, 1e-4f, 7), 2);
  ASSERT_EQ(mel.frames, 3100);
  EXPECT_EQ(mel.bins, 128);
  EXPECT_EQ(mel.signal_frames, 99);
  ASSERT_EQ(mel.values.size(), 128u * 3100);
  for (int i = 0; i < 3100; ++i) {
    int above = 0;  // bins with signal; a filter that covers no FFT bin stays at the floor
    for (int j = 0; j < 128; ++j) {
      const float v = mel.values[j * 3100 + i];
      if (i >= 102) {
        ASSERT_EQ(v, -1.5f) << "bin " << j << " frame " << i;
      }
      above += v > -1.5f;
    }
    if (i < 101) {  // frame 101 holds only 40 faint samples, near the window's edge
      EXPECT_GT(above, 120) << "frame " << i;
    }
  }
  EXPECT_EQ(compute(noise(80000, 0.1f, 3), 1).frames, 3500);
  EXPECT_EQ(compute(std::vector<float>(1, 0.5f), 1).frames, 3000);
}

TEST_F(LogMelTest, SilenceIsMinusOneAndAHalfEverywhere) {
  for (size_t n : {0, 1, 16000}) {
    const std::vector<float> zeros(n, 0.0f);
    whisper_context ctx;
    whisper_segment_state state;
    ASSERT_EQ(whisper_pcm_to_mel_with_state(&ctx, &state, n ? zeros.data() : nullptr,
                                            static_cast<int>(n), 4),
              0);
    for (float v : state.mel.values) ASSERT_EQ(v, -1.5f) << n << " samples";
  }
}

TEST_F(LogMelTest, ClampsEightBelowTheMaximum) {
  const whisper_mel mel = compute(noise(32000, 0.9f, 11), 2);
  const float top = *std::max_element(mel.values.begin(), mel.values.end());
  const float bottom = *std::min_element(mel.values.begin(), mel.values.end());
  EXPECT_NEAR(top - bottom, 2.0f, 1e-5);  // 8 in log10 units, rescaled by 1/4
}

TEST_F(LogMelTest, ThreadCountBelowOneActsAsOne) {
  const std::vector<float> samples = noise(20000, 0.2f, 5);
  const whisper_mel one = compute(samples, 1);
  EXPECT_TRUE(same_bits(one, compute(samples, 0)));
  EXPECT_TRUE(same_bits(one, compute(samples, -3)));
  EXPECT_TRUE(same_bits(one, compute(samples, 500)));
}

TEST_F(LogMelTest, ConcurrentCallsShareTheHelperThreads) {
  // Four callers at once, each asking for two threads: a part that no
  // helper is free to take runs on its caller, and every result has the
  // bits of a call alone.
  const std::vector<float> samples = noise(160000, 0.3f, 28);
  const whisper_mel alone = compute(samples, 1);
  std::vector<whisper_mel> results(4);
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&samples, &results, c] {
      for (int round = 0; round < 3; ++round) results[c] = compute(samples, 2);
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (const whisper_mel& mel : results) EXPECT_TRUE(same_bits(alone, mel));
}

TEST_F(LogMelTest, ForkedChildComputesWithoutTheParentsHelpers) {
  // The helper threads started here do not exist in a forked child: its
  // two-thread call must not wait for them, and its exit must not either.
  const std::vector<float> samples = noise(160000, 0.3f, 29);
  const whisper_mel two = compute(samples, 2);
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    whisper_context ctx;
    whisper_segment_state state;
    const int status = whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(), 160000, 2);
    std::exit(status == 0 && same_bits(two, state.mel) ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LogMelTest, ExitWhileAnotherThreadComputes) {
  // A process may exit while a daemon thread is inside a two-thread call:
  // the helpers are stopped under it, and the call must still end with the
  // helpers' lock and queue intact (a fresh process, whose helpers are its own).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<float> samples = noise(160000, 0.3f, 31);
  EXPECT_EXIT(
      {
        std::thread([&samples] {
          for (;;) {
            whisper_context ctx;
            whisper_segment_state state;
            whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(), 160000, 2);
          }
        }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(LogMelTest, FilterFileSizes) {
  const std::vector<float> bank = make_filter_bank();
  const std::vector<float> samples = noise(16000, 0.2f, 9);
  const whisper_mel expected = compute(samples, 1);

  const std::string longer = write_filter_file("longer.bin", bank, 1000);
  whisper_set_mel_filters_path(longer.c_str());
  EXPECT_TRUE(same_bits(expected, compute(samples, 1))) << "bytes after the bank are ignored";

  // One byte short of 128 x 201 floats.
  const std::string shorter = temp_path("short.bin");
  write_bytes(shorter, bank.data(), bank.size() * 4 - 1);
  whisper_set_mel_filters_path(shorter.c_str());
  Failure f = compute_failing(samples);
  EXPECT_EQ(f.status, -1);
  EXPECT_EQ(f.err, "log_mel_spectrogram : fail to read '" + shorter + "'\n");
  EXPECT_EQ(f.out, "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n");

  const std::string missing = temp_path("missing.bin");
  whisper_set_mel_filters_path(missing.c_str());
  f = compute_failing(samples);
  EXPECT_EQ(f.status, -1);
  EXPECT_EQ(f.err, "log_mel_spectrogram : fail to open '" + missing + "'\n");
  EXPECT_EQ(f.out, "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n");
  std::remove(longer.c_str());
  std::remove(shorter.c_str());
}

TEST_F(LogMelTest, FilterFileIsReadAgainWhenItChangesOrDisappears) {
  const std::vector<float> samples = noise(16000, 0.2f, 13);
  const whisper_mel first = compute(samples, 2);

  // Rewritten in place with other weights: the new bank is used.
  write_filter_file("bank.bin", make_filter_bank(3.0f));
  whisper_filters filters;
  whisper_mel reference;
  ASSERT_TRUE(log_mel_spectrogram_baseline(samples.data(), 16000, 1, filters_path_, filters,
                                           reference));
  const whisper_mel second = compute(samples, 2);
  EXPECT_FALSE(same_bits(first, second));
  EXPECT_TRUE(close(reference, second));

  // Gone: the call fails although a bank was read before.
  std::remove(filters_path_.c_str());
  const Failure f = compute_failing(samples);
  EXPECT_EQ(f.status, -1);
  EXPECT_EQ(f.err, "log_mel_spectrogram : fail to open '" + filters_path_ + "'\n");
}

TEST_F(LogMelTest, SettledFilterFileIsKeptAndStillFollowsChanges) {
  // A bank whose file times are a few seconds old is kept between calls;
  // wait until this one's are (no timing is measured).
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  const std::vector<float> samples = noise(16000, 0.2f, 19);
  whisper_filters filters;
  whisper_mel reference;
  ASSERT_TRUE(log_mel_spectrogram_baseline(samples.data(), 16000, 1, filters_path_, filters,
                                           reference));
  const whisper_mel kept = compute(samples, 2);
  EXPECT_TRUE(close(reference, kept));
  EXPECT_TRUE(same_bits(kept, compute(samples, 2))) << "the kept bank differs";

  // Rewritten in place, same size: read again.
  write_filter_file("bank.bin", make_filter_bank(0.5f));
  ASSERT_TRUE(log_mel_spectrogram_baseline(samples.data(), 16000, 1, filters_path_, filters,
                                           reference));
  EXPECT_TRUE(close(reference, compute(samples, 2)));

  // Another file: its own bank.
  const std::string other = write_filter_file("other.bin", make_filter_bank(2.0f));
  whisper_set_mel_filters_path(other.c_str());
  ASSERT_TRUE(log_mel_spectrogram_baseline(samples.data(), 16000, 1, other, filters, reference));
  EXPECT_TRUE(close(reference, compute(samples, 2)));
  std::remove(other.c_str());
}

TEST_F(LogMelTest, EmptyOrNullPathKeepsThePreviousOne) {
  const std::vector<float> samples = noise(4000, 0.2f, 17);
  whisper_set_mel_filters_path("");
  whisper_set_mel_filters_path(nullptr);
  const whisper_mel mel = compute(samples, 1);  // still reads filters_path_
  EXPECT_EQ(mel.frames, (4000 + 480000) / 160);
}

TEST_F(LogMelTest, UnusableArgumentsFailWithoutCrashing) {
  const std::vector<float> samples(100, 0.1f);
  whisper_context ctx;
  whisper_segment_state state;
  const std::string message = "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n";
  testing::internal::CaptureStdout();
  EXPECT_EQ(whisper_pcm_to_mel_with_state(nullptr, &state, samples.data(), 100, 1), -1);
  EXPECT_EQ(whisper_pcm_to_mel_with_state(&ctx, nullptr, samples.data(), 100, 1), -1);
  EXPECT_EQ(whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(), -1, 1), -1);
  EXPECT_EQ(whisper_pcm_to_mel_with_state(&ctx, &state, nullptr, 100, 1), -1);
  ctx.filters.fft_bins = 100;  // the frame loop needs 201 weights per bin
  EXPECT_EQ(whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(), 100, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), message + message + message + message + message);
}

}  // namespace
