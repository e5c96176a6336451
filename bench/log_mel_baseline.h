// A straightforward log-mel spectrogram, kept as the reference that the
// library's version is measured and checked against: the filter file is
// read on every call, every worker gets its own copy of the whole padded
// buffer (trailing zeros included), and the FFT allocates its halves at
// every level of the recursion.
#ifndef ZOR_BENCH_LOG_MEL_BASELINE_H_
#define ZOR_BENCH_LOG_MEL_BASELINE_H_

#include <string>

#include "whisper/log_mel.h"

// Same contract as log_mel_spectrogram, with the filter file given
// explicitly. Returns false when it cannot be opened or read.
bool log_mel_spectrogram_baseline(const float* samples, int n_samples, int n_threads,
                                  const std::string& filters_path, whisper_filters& filters,
                                  whisper_mel& mel);

#endif  // ZOR_BENCH_LOG_MEL_BASELINE_H_
