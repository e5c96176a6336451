// Log-mel spectrogram of 16 kHz audio for the Whisper encoder: reflection
// padding, periodic Hann window, a 400-point FFT, a mel filter bank read
// from a raw float32 file, log10, and the dynamic-range clamp and rescale.
// Frames are computed eight at a time (mel_vector.h), in contiguous runs
// shared between worker threads.
//
// The arithmetic is spelled out (no fused multiply-add, no compiler
// contraction), so every thread count, instruction set and architecture
// gives the same bits. They are not the bits of a scalar radix-2 transform
// with direct 25-point sums: values lie within a few units in the last
// place near the maximum, and closer to the exact values everywhere.
#ifndef ZOR_ASR_WHISPER_LOG_MEL_H_
#define ZOR_ASR_WHISPER_LOG_MEL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "zor_asr.h"

// The mel filter bank. The weight of FFT bin k in mel bin j is
// weights[j * fft_bins + k]. The computation resizes weights to
// mel_bins x fft_bins and fills it from the filter file.
struct whisper_filters {
  int32_t mel_bins = 128;
  int32_t fft_bins = 201;  // 400 / 2 + 1
  std::vector<float> weights;
  // The filter file to read; empty: the process-wide path below.
  std::string path;
};

// The spectrogram, mel-bin-major: bin j of frame i is values[j * frames + i].
struct whisper_mel {
  int32_t frames = 0;         // (padded sample count - 400) / 160, at least 3000
  int32_t signal_frames = 0;  // 1 + (sample count - 200) / 160; informational
  int32_t bins = 0;           // 128 once computed
  std::vector<float> values;
};

// What a recognition carries into the computation: the filter record it reads.
struct whisper_context {
  whisper_filters filters;
};

// What one segment's computation writes: its spectrogram.
struct whisper_segment_state {
  whisper_mel mel;
};

extern "C" {

// Replaces the process-wide filter file path (initially
// "./data_bin/data.bin") when path is non-null and non-empty; otherwise does
// nothing. Computations whose filter record names no path read it; a running
// one may see the old or the new path. Engines made by whisper_asr_create
// name their own file, so setting it later does not change theirs.
ZOR_ASR_API void whisper_set_mel_filters_path(const char* path);

// Computes the spectrogram of n_samples float samples (full scale +-1.0)
// into state->mel with the filter record of ctx, sharing the frames between
// n_threads threads (values below 1 count as 1). Returns 0 on success. On
// failure writes "whisper_pcm_to_mel_with_state: failed to compute mel
// spectrogram" to standard output and returns -1; state->mel is then
// unspecified. Never throws.
ZOR_ASR_API int whisper_pcm_to_mel_with_state(whisper_context* ctx, whisper_segment_state* state,
                                              const float* samples, int n_samples,
                                              int n_threads);

}  // extern "C"

// The computation behind whisper_pcm_to_mel_with_state. Returns false when
// the filter file cannot be opened or read (after a message on standard
// error), or when the arguments are unusable (negative count, null samples
// with a positive count). May throw std::bad_alloc.
bool log_mel_spectrogram(const float* samples, int n_samples, int n_threads,
                         whisper_filters& filters, whisper_mel& mel);

// The first `frames` frames of what whisper_pcm_to_mel_with_state computes
// for the samples (the clamp still follows the maximum over every frame),
// into out: bin j of frame i at out[j * frames + i]. What the encoder takes,
// without building the whole spectrogram. frames may not exceed the
// spectrogram's frame count. Fails as whisper_pcm_to_mel_with_state does,
// with the same messages. Never throws.
int whisper_pcm_to_mel_frames(whisper_filters& filters, const float* samples, int n_samples,
                              int n_threads, float* out, int frames);

#endif  // ZOR_ASR_WHISPER_LOG_MEL_H_
