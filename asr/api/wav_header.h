// The RIFF/WAVE header walk that every reader of WAV files here shares:
// libfenn's PCM16 reader and the fenn program's duration figure.
#ifndef ZOR_ASR_API_WAV_HEADER_H_
#define ZOR_ASR_API_WAV_HEADER_H_

#include <cstdint>
#include <cstdio>

struct WavHeader {
  uint16_t channels = 0;
  uint32_t sample_rate = 0;  // Hz, as declared
  uint32_t data_size = 0;    // bytes of the "data" chunk, as declared
};

// Reads from the start of f up to the first byte of the "data" chunk. The
// "fmt " chunk is taken at its declared size (at least 16 bytes) and must
// describe 16-bit integer PCM: format 1, or WAVE_FORMAT_EXTENSIBLE whose
// sub-format is integer PCM in 16-bit containers. Chunks before "data" are
// skipped with the pad byte that follows an odd size. Returns null on
// success, else the reason: "invalid wav header", "not a RIFF/WAVE file",
// "only PCM16 wav is supported" or "wav data chunk not found" (also for an
// empty data chunk). Reads forward only, so a pipe works as long as the
// chunks it must skip are small.
const char* ReadWavHeader(std::FILE* f, WavHeader* header);

#endif  // ZOR_ASR_API_WAV_HEADER_H_
