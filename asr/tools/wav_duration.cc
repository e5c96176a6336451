#include "tools/wav_duration.h"

#include <cstdint>
#include <cstdio>
#include <memory>

#include "api/wav_header.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

double WavDurationSeconds(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return -1.0;
  WavHeader header;
  if (ReadWavHeader(file.get(), &header) != nullptr || header.sample_rate == 0) return -1.0;
  const uint64_t frames = header.channels == 0 ? 0 : (header.data_size / 2) / header.channels;
  return static_cast<double>(frames) / header.sample_rate;
}
