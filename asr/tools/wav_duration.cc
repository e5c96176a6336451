#include "tools/wav_duration.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

uint32_t LoadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

double WavDurationSeconds(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return -1.0;
  unsigned char header[36];
  if (std::fread(header, 1, sizeof header, file.get()) != sizeof header) return -1.0;
  if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) {
    return -1.0;
  }
  const uint32_t channels = header[22] | (header[23] << 8);
  const uint32_t sample_rate = LoadU32(header + 24);
  if (sample_rate == 0) return -1.0;
  for (;;) {
    unsigned char chunk[8];
    if (std::fread(chunk, 1, sizeof chunk, file.get()) != sizeof chunk) return -1.0;
    const uint32_t size = LoadU32(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0) {
      const uint64_t frames = channels == 0 ? 0 : (size / 2) / channels;
      return static_cast<double>(frames) / sample_rate;
    }
    if (fseeko(file.get(), static_cast<off_t>(size), SEEK_CUR) != 0) return -1.0;
  }
}
