// Reader for RIFF/WAVE files of 16-bit integer PCM, mixed down to mono.
//
// The header is walked as wav_header.h describes: format chunks of any
// declared size from 16 bytes (18 and 40 are common), WAVE_FORMAT_EXTENSIBLE
// with an integer PCM sub-format, and padded odd-sized chunks before "data"
// are read. Other sample formats and files whose data chunk is shorter than
// it claims are rejected with a short English error text.
#ifndef ZOR_ASR_API_WAV_READER_H_
#define ZOR_ASR_API_WAV_READER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "zor_asr.h"

struct WavData {
  uint32_t sample_rate = 0;  // Hz, from the header; no resampling is done
  uint32_t channels = 0;     // the file's channel count, also after the mixdown
  std::vector<int16_t> samples;  // mono: one sample per frame
};

// Reads `path` into *out. Returns true on success. On failure returns false,
// leaves *out as it was and, when `error` is not null, replaces its content
// with the reason. Multi-channel frames become the mean of their samples,
// truncated toward zero; a trailing partial frame, and the last byte of an
// odd-sized data chunk, are dropped. Never throws.
ZOR_ASR_API bool ReadWavPcm16(const std::string& path, WavData* out, std::string* error);

#endif  // ZOR_ASR_API_WAV_READER_H_
