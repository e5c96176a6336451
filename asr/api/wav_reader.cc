#include "api/wav_reader.h"

#include "api/wav_header.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Pieces in which data of unknown length (a pipe, a device) is read, so a
// lying chunk size never turns into one huge allocation.
constexpr size_t kStreamPieceBytes = size_t{1} << 20;

bool Fail(std::string* error, const char* message) {
  if (error != nullptr) {
    try {
      error->assign(message);
    } catch (...) {  // no memory even for the message: report an empty one
      error->clear();
    }
  }
  return false;
}

// Bytes left in the file after the current position, or -1 when the file is
// not a regular file and its length cannot be known in advance.
long long BytesLeft(std::FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const off_t pos = ftello(f);
  if (pos < 0) return -1;
  return st.st_size > pos ? static_cast<long long>(st.st_size - pos) : 0;
}

// Reads exactly `size` bytes of sample data into `samples` (size / 2 whole
// samples; the odd last byte is consumed and dropped). False when the file
// holds fewer bytes.
bool ReadSampleBytes(std::FILE* f, uint32_t size, std::vector<int16_t>* samples) {
  const size_t n_samples = size / 2;
  const long long left = BytesLeft(f);
  if (left >= 0) {
    // Check the declared size against the file before allocating for it.
    if (static_cast<unsigned long long>(left) < size) return false;
    samples->resize(n_samples);
    if (std::fread(samples->data(), 2, n_samples, f) != n_samples) return false;
  } else {
    samples->clear();
    while (samples->size() < n_samples) {
      const size_t want = std::min(n_samples - samples->size(), kStreamPieceBytes / 2);
      const size_t have = samples->size();
      samples->resize(have + want);
      if (std::fread(samples->data() + have, 2, want, f) != want) return false;
    }
  }
  if (size % 2 != 0 && std::fgetc(f) == EOF) return false;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  for (int16_t& s : *samples) {
    const uint16_t u = static_cast<uint16_t>(s);
    s = static_cast<int16_t>(static_cast<uint16_t>((u >> 8) | (u << 8)));
  }
#endif
  return true;
}

bool ReadWav(const std::string& path, WavData* out, std::string* error) {
  if (out == nullptr) return Fail(error, "output is null");
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return Fail(error, "failed to open wav file");
  std::FILE* f = file.get();

  WavHeader header;
  if (const char* reason = ReadWavHeader(f, &header)) return Fail(error, reason);
  const uint16_t channels = header.channels;
  const uint32_t sample_rate = header.sample_rate;
  const uint32_t data_size = header.data_size;

  std::vector<int16_t> pcm;
  if (!ReadSampleBytes(f, data_size, &pcm)) return Fail(error, "failed to read wav pcm data");

  if (channels == 1) {
    out->samples.swap(pcm);
  } else {
    const size_t frames = channels == 0 ? 0 : pcm.size() / channels;
    std::vector<int16_t> mono(frames);
    const int16_t* src = pcm.data();
    for (size_t i = 0; i < frames; ++i, src += channels) {
      // At most 65535 samples of magnitude <= 32768: the sum fits in 32 bits.
      int32_t sum = 0;
      for (uint32_t c = 0; c < channels; ++c) sum += src[c];
      mono[i] = static_cast<int16_t>(sum / static_cast<int32_t>(channels));
    }
    out->samples.swap(mono);
  }
  out->sample_rate = sample_rate;
  out->channels = channels;
  return true;
}

}  // namespace

bool ReadWavPcm16(const std::string& path, WavData* out, std::string* error) {
  try {
    return ReadWav(path, out, error);
  } catch (const std::bad_alloc&) {
    // The declared data fits in the file but not in memory.
    return Fail(error, "out of memory reading wav pcm data");
  } catch (...) {
    return Fail(error, "failed to read wav file");
  }
}
