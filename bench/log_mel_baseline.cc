// Compile with -ffp-contract=off, like the library's spectrogram.
#include "log_mel_baseline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kN = 400;

struct Tables {
  std::vector<float> sin_t = std::vector<float>(kN);
  std::vector<float> cos_t = std::vector<float>(kN);
  Tables() {
    for (int i = 0; i < kN; ++i) {
      const float theta = static_cast<float>(2.0 * M_PI * i / kN);
      sin_t[i] = std::sin(theta);
      cos_t[i] = std::cos(theta);
    }
    sin_t[0] = 0.0f;
    cos_t[0] = 1.0f;
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

void dft(const std::vector<float>& in, std::vector<float>& out) {
  const int n = static_cast<int>(in.size());
  const int step = kN / n;
  out.assign(2 * n, 0.0f);
  for (int k = 0; k < n; ++k) {
    float re = 0.0f, im = 0.0f;
    for (int j = 0; j < n; ++j) {
      const int idx = (k * j * step) % kN;
      re = std::fma(in[j], tables().cos_t[idx], re);
      im = std::fma(-in[j], tables().sin_t[idx], im);
    }
    out[2 * k] = re;
    out[2 * k + 1] = im;
  }
}

void fft(const std::vector<float>& in, std::vector<float>& out) {
  const int n = static_cast<int>(in.size());
  out.assign(2 * n, 0.0f);
  if (n == 1) {
    out[0] = in[0];
    return;
  }
  if (n % 2 == 1) {
    dft(in, out);
    return;
  }
  std::vector<float> even, odd;
  for (int i = 0; i < n; i += 2) even.push_back(in[i]);
  for (int i = 1; i < n; i += 2) odd.push_back(in[i]);
  std::vector<float> even_fft, odd_fft;
  fft(even, even_fft);
  fft(odd, odd_fft);
  const int step = kN / n;
  for (int k = 0; k < n / 2; ++k) {
    const int idx = k * step;
    const float c = tables().cos_t[idx], s = tables().sin_t[idx];
    const float er = even_fft[2 * k], ei = even_fft[2 * k + 1];
    const float orr = odd_fft[2 * k], oi = odd_fft[2 * k + 1];
    out[2 * k] = er + c * orr + s * oi;
    out[2 * k + 1] = ei + c * oi - s * orr;
    out[2 * (k + n / 2)] = er - c * orr - s * oi;
    out[2 * (k + n / 2) + 1] = ei - c * oi + s * orr;
  }
}

void worker(int ith, const std::vector<float>& hann, std::vector<float> samples, int n,
            int n_threads, const whisper_filters& filters, whisper_mel& mel) {
  std::vector<float> fft_in(kN), fft_out;
  int i = ith;
  for (; i < std::min(n / 160 + 1, mel.frames); i += n_threads) {
    const int offset = i * 160;
    const int m = std::min(kN, n - offset);
    for (int j = 0; j < m; ++j) fft_in[j] = hann[j] * samples[offset + j];
    for (int j = m; j < kN; ++j) fft_in[j] = 0.0f;
    fft(fft_in, fft_out);
    for (int j = 0; j < 201; ++j) {
      fft_out[j] = fft_out[2 * j] * fft_out[2 * j] + fft_out[2 * j + 1] * fft_out[2 * j + 1];
    }
    for (int j = 0; j < 128; ++j) {
      double sum = 0.0;
      int k = 0;
      for (; k < 201 - 3; k += 4) {
        sum += fft_out[k] * filters.weights[j * 201 + k] +
               fft_out[k + 1] * filters.weights[j * 201 + k + 1] +
               fft_out[k + 2] * filters.weights[j * 201 + k + 2] +
               fft_out[k + 3] * filters.weights[j * 201 + k + 3];
      }
      for (; k < 201; ++k) sum += fft_out[k] * filters.weights[j * 201 + k];
      mel.values[j * mel.frames + i] = static_cast<float>(std::log10(std::max(sum, 1e-10)));
    }
  }
  for (; i < mel.frames; i += n_threads) {
    for (int j = 0; j < 128; ++j) mel.values[j * mel.frames + i] = -10.0f;
  }
}

}  // namespace

bool log_mel_spectrogram_baseline(const float* samples, int n_samples, int n_threads,
                                  const std::string& filters_path, whisper_filters& filters,
                                  whisper_mel& mel) {
  tables();
  filters.weights.resize(static_cast<size_t>(filters.mel_bins) * filters.fft_bins);
  FILE* f = std::fopen(filters_path.c_str(), "rb");
  if (f == nullptr) return false;
  const size_t want = filters.weights.size() * sizeof(float);
  const size_t got = std::fread(filters.weights.data(), 1, want, f);
  std::fclose(f);
  if (got != want) return false;

  std::vector<float> hann(kN);
  for (int i = 1; i < kN; ++i) {
    hann[i] = 0.5f * (1.0f - std::cos(static_cast<float>(2.0 * M_PI * i / kN)));
  }
  std::vector<float> padded(n_samples + 480400, 0.0f);
  for (int p = 0; p < 200; ++p) padded[p] = 200 - p < n_samples ? samples[200 - p] : 0.0f;
  std::copy(samples, samples + n_samples, padded.begin() + 200);

  mel.bins = 128;
  mel.frames = static_cast<int>((padded.size() - 400) / 160);
  mel.signal_frames = 1 + (n_samples - 200) / 160;
  mel.values.resize(128 * static_cast<size_t>(mel.frames));

  std::vector<std::thread> threads;
  for (int t = 1; t < n_threads; ++t) {
    threads.emplace_back(worker, t, std::cref(hann), padded, n_samples + 200, n_threads,
                         std::cref(filters), std::ref(mel));
  }
  worker(0, hann, padded, n_samples + 200, n_threads, filters, mel);
  for (auto& t : threads) t.join();

  double mmax = -1e20;
  for (float v : mel.values) mmax = std::max(mmax, static_cast<double>(v));
  mmax -= 8.0;
  for (float& v : mel.values) {
    if (v < mmax) v = static_cast<float>(mmax);
    v = static_cast<float>((v + 4.0) / 4.0);
  }
  return true;
}
