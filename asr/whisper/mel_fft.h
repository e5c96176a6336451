// The spectrogram's FFT: fixed 400-entry sine and cosine tables and a
// radix-2 split that ends in direct DFTs of odd length (400 -> 200 -> 100
// -> 50 -> 25). No plan and no allocation: the caller hands in scratch.
#ifndef ZOR_ASR_WHISPER_MEL_FFT_H_
#define ZOR_ASR_WHISPER_MEL_FFT_H_

#include <cstddef>

namespace whisper_spectrum {

constexpr int kFftSize = 400;  // frame and window length; the tables' period

// Filled once per process (thread-safe), then read-only.
struct mel_tables {
  float sin_table[kFftSize];  // sin(2*pi*i/400), angle rounded to f32 first
  float cos_table[kFftSize];
  float hann[kFftSize];       // periodic Hann window: 0.5 * (1 - cos(2*pi*i/400))
};
const mel_tables& get_mel_tables();

// Floats of scratch that mel_fft needs for a transform of length n.
constexpr size_t mel_fft_scratch_size(int n) {
  size_t total = 0;
  while (n > 1 && n % 2 == 0) {
    total += 2 * static_cast<size_t>(n);
    n /= 2;
  }
  return total;
}

// Complex FFT of n real floats (n divides 400) into 2n floats, real and
// imaginary parts interleaved. scratch holds mel_fft_scratch_size(n) floats.
void mel_fft(const float* in, int n, float* out, float* scratch);

}  // namespace whisper_spectrum

#endif  // ZOR_ASR_WHISPER_MEL_FFT_H_
