// The spectrogram's transform: the power spectrum of 400 real samples, for
// eight frames at once (one per vector lane, see mel_vector.h). The 400 real
// points are packed into 200 complex ones (even samples as real parts, odd
// as imaginary), transformed by a mixed-radix (5, 5, 8) self-sorting
// FFT, and unpacked into the 201 bins of the real transform.
#ifndef ZOR_ASR_WHISPER_MEL_FFT_H_
#define ZOR_ASR_WHISPER_MEL_FFT_H_

#include "whisper/mel_vector.h"

namespace whisper_spectrum {

constexpr int kFftSize = 400;               // frame and window length
constexpr int kFftBins = kFftSize / 2 + 1;  // 201
constexpr int kPacked = kFftSize / 2;       // the complex transform's length

// Arrays of lanes: element i of lane l is at [i * kLanes + l].
struct mel_fft_work {
  // Input, overwritten: sample 2m of a frame in re[m], sample 2m + 1 in im[m].
  alignas(32) float re[kPacked * kLanes];
  alignas(32) float im[kPacked * kLanes];
  alignas(32) float scratch_re[kPacked * kLanes];
  alignas(32) float scratch_im[kPacked * kLanes];
};

// power[k * kLanes + l] = |X_l[k]|^2 for k = 0..200, where X_l is the
// unnormalised transform of lane l's 400 samples. Thread-safe.
void mel_power_spectrum(mel_fft_work& work, float* power);

// The periodic Hann window, 0.5 * (1 - cos(2*pi*i/400)) with the angle
// rounded to float first, and 0 at i = 0. Filled once per process.
const float* mel_hann_window();

}  // namespace whisper_spectrum

#endif  // ZOR_ASR_WHISPER_MEL_FFT_H_
