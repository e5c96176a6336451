#include "whisper/whisper_vocab.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

constexpr int32_t kEndOfTextId = 50257;  // its entry in the file carries no text bytes
constexpr int32_t kFirstGeneratedId = 50257;
constexpr int32_t kLastGeneratedId = 51865;
// Token texts are read in pieces of this size, so a length field that
// claims more than the file holds costs at most one piece beyond the file.
constexpr size_t kReadPiece = 64 * 1024;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool read_u32_le(FILE* f, uint32_t* out) {
  unsigned char b[4];
  if (std::fread(b, 1, 4, f) != 4) return false;
  *out = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  return true;
}

// Reads exactly len bytes into text, growing it only as bytes arrive.
bool read_text(FILE* f, uint32_t len, std::string* text) {
  text->clear();
  size_t left = len;
  while (left > 0) {
    const size_t piece = std::min(left, kReadPiece);
    const size_t old = text->size();
    text->resize(old + piece);
    if (std::fread(&(*text)[old], 1, piece, f) != piece) return false;
    left -= piece;
  }
  return true;
}

std::string generated_name(const whisper_vocab& v, int32_t id) {
  if (id > v.beg_id) return "[_TT_" + std::to_string(id - v.beg_id) + "]";
  if (id == v.eot_id) return "<|endoftext|>";
  if (id == v.sot_id) return "<|startoftranscript|>";
  if (id == v.translate_id) return "<|translate|>";
  if (id == v.transcribe_id) return "<|transcribe|>";
  if (id == v.solm_id) return "[_SOLM_]";
  if (id == v.prev_id) return "[_PREV_]";
  if (id == v.nosp_id) return "[_NOSP_]";
  if (id == v.notimestamps_id) return "<|notimestamps|>";
  if (id == v.beg_id) return "[_BEG_]";
  if (id == 50259) return "<|en|>";
  if (id == 50260) return "<|zh|>";
  if (id == 50264) return "<|ko|>";
  return "[_extra_token_" + std::to_string(id) + "]";
}

// Code point -> the byte it stands for in byte-level BPE, 0xFFFF for none.
// Printable bytes stand for themselves; the 68 others map to 256 onwards.
using ByteDecoder = std::array<uint16_t, 512>;

ByteDecoder build_byte_decoder() {
  ByteDecoder table;
  table.fill(0xFFFF);
  std::vector<int> bs;
  for (int b = 33; b <= 126; ++b) bs.push_back(b);
  for (int b = 161; b <= 172; ++b) bs.push_back(b);
  for (int b = 174; b <= 255; ++b) bs.push_back(b);
  std::vector<int> cs = bs;
  std::array<bool, 256> listed{};
  for (int b : bs) listed[b] = true;
  int extra = 0;
  for (int b = 0; b < 256; ++b) {
    if (listed[b]) continue;
    bs.push_back(b);
    cs.push_back(256 + extra);
    ++extra;
  }
  for (size_t k = 0; k < bs.size(); ++k) table[cs[k]] = static_cast<uint16_t>(bs[k]);
  return table;
}

const ByteDecoder& byte_decoder_table() {
  static const ByteDecoder table = build_byte_decoder();  // one thread-safe init
  return table;
}

}  // namespace

whisper_vocab load_whisper_vocab(const std::string& path, int32_t* entries_from_file) {
  whisper_vocab vocab;
  int32_t taken = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    std::fprintf(stderr, "%s : fail to open '%s'\n", "read_token_info", path.c_str());
  } else {
    uint32_t raw_count = 0;
    const int32_t count = read_u32_le(file.get(), &raw_count) ? static_cast<int32_t>(raw_count) : 0;
    std::string text;
    for (int32_t i = 0; i < count; ++i) {
      uint32_t len = 0;
      if (!read_u32_le(file.get(), &len)) break;
      if (len == 0 || i == kEndOfTextId) {
        text.clear();
      } else if (!read_text(file.get(), len, &text)) {
        break;  // truncated entry: keep the entries before it
      }
      vocab.id_by_text[text] = i;
      vocab.text_by_id[i] = text;
      ++taken;
    }
  }
  for (int32_t id = kFirstGeneratedId; id <= kLastGeneratedId; ++id) {
    std::string name = generated_name(vocab, id);
    vocab.id_by_text[name] = id;
    vocab.text_by_id[id] = std::move(name);
  }
  if (entries_from_file != nullptr) *entries_from_file = taken;
  return vocab;
}

whisper_vocab read_token_info(std::string path) { return load_whisper_vocab(path, nullptr); }

std::string whisper_bpe_decode(const std::string& bpe_text) {
  const ByteDecoder& table = byte_decoder_table();
  const size_t len = bpe_text.size();
  const auto byte_at = [&](size_t i) { return static_cast<unsigned char>(bpe_text[i]); };
  std::string out;
  out.reserve(len);
  size_t i = 0;
  while (i < len) {
    const unsigned char lead = byte_at(i);
    uint32_t cp;
    size_t width;
    if (lead < 0x80) {
      cp = lead;
      width = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F;
      width = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F;
      width = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07;
      width = 4;
    } else {
      ++i;  // continuation byte or 11111xxx: not a lead, skipped alone
      continue;
    }
    if (width > len - i) {
      ++i;  // sequence runs past the end: skip the lead alone
      continue;
    }
    // Continuation bytes are taken by their low six bits, unchecked.
    for (size_t k = 1; k < width; ++k) cp = (cp << 6) | (byte_at(i + k) & 0x3F);
    i += width;
    if (cp < table.size() && table[cp] != 0xFFFF) out.push_back(static_cast<char>(table[cp]));
  }
  return out;
}

std::string do_post_process(int64_t token_id, whisper_vocab vocab) {
  if (token_id < std::numeric_limits<int32_t>::min() ||
      token_id > std::numeric_limits<int32_t>::max()) {
    throw std::out_of_range("map::at");  // no such key, and no truncation to another one
  }
  return whisper_bpe_decode(vocab.text_by_id.at(static_cast<int32_t>(token_id)));
}
