#include "api/wav_header.h"

#include <sys/types.h>

#include <cstring>

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kFmtBytes = 16;           // the fields every format chunk has
constexpr uint32_t kExtensibleFmtBytes = 40;  // ... plus the extension of EXTENSIBLE
// The sub-format GUID of integer PCM after its first two bytes (the code 1).
constexpr unsigned char kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// Skips up to this size are read rather than sought, so that a pipe can
// carry the usual small chunks.
constexpr uint32_t kReadSkipLimit = 4096;

uint16_t LoadU16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t LoadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Moves n bytes forward. Seeking past the end succeeds; the next read then
// comes up short.
bool Skip(std::FILE* f, uint64_t n) {
  if (n <= kReadSkipLimit) {
    unsigned char sink[kReadSkipLimit];
    return std::fread(sink, 1, n, f) == n;
  }
  return fseeko(f, static_cast<off_t>(n), SEEK_CUR) == 0;
}

bool ReadChunkHeader(std::FILE* f, char id[4], uint32_t* size) {
  unsigned char chunk[8];
  if (std::fread(chunk, 1, sizeof chunk, f) != sizeof chunk) return false;
  std::memcpy(id, chunk, 4);
  *size = LoadU32(chunk + 4);
  return true;
}

// RIFF pads every chunk to an even length.
uint64_t Padded(uint32_t size) { return uint64_t{size} + (size & 1u); }

bool IsPcm16(const unsigned char* fmt, uint32_t fmt_size) {
  const uint16_t format = LoadU16(fmt);
  const uint16_t bits = LoadU16(fmt + 14);
  if (bits != 16) return false;
  if (format == kFormatPcm) return true;
  if (format != kFormatExtensible || fmt_size < kExtensibleFmtBytes) return false;
  const uint16_t valid_bits = LoadU16(fmt + 18);
  const uint16_t sub_format = LoadU16(fmt + 24);
  return valid_bits <= 16 && sub_format == kFormatPcm &&
         std::memcmp(fmt + 26, kPcmGuidTail, sizeof kPcmGuidTail) == 0;
}

}  // namespace

const char* ReadWavHeader(std::FILE* f, WavHeader* header) {
  unsigned char riff[12];
  if (std::fread(riff, 1, sizeof riff, f) != sizeof riff) return "invalid wav header";
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return "not a RIFF/WAVE file";
  }

  // The format chunk, wherever it stands before the data.
  char id[4];
  uint32_t size = 0;
  for (;;) {
    if (!ReadChunkHeader(f, id, &size) || std::memcmp(id, "data", 4) == 0) {
      return "invalid wav header";
    }
    if (std::memcmp(id, "fmt ", 4) == 0) break;
    if (!Skip(f, Padded(size))) return "invalid wav header";
  }
  if (size < kFmtBytes) return "invalid wav header";
  unsigned char fmt[kExtensibleFmtBytes] = {};
  const uint32_t kept = size < kExtensibleFmtBytes ? size : kExtensibleFmtBytes;
  if (std::fread(fmt, 1, kept, f) != kept) return "invalid wav header";
  if (!IsPcm16(fmt, size)) return "only PCM16 wav is supported";
  if (!Skip(f, Padded(size) - kept)) return "wav data chunk not found";

  for (;;) {
    if (!ReadChunkHeader(f, id, &size)) return "wav data chunk not found";
    if (std::memcmp(id, "data", 4) == 0) break;
    if (!Skip(f, Padded(size))) return "wav data chunk not found";
  }
  if (size == 0) return "wav data chunk not found";
  header->channels = LoadU16(fmt + 2);
  header->sample_rate = LoadU32(fmt + 4);
  header->data_size = size;
  return nullptr;
}
