#include "whisper/whisper_chunks.h"

#include <algorithm>

std::vector<whisper_chunk> plan_whisper_chunks(size_t n) {
  std::vector<whisper_chunk> chunks;
  if (n == 0) return chunks;
  if (n <= kWhisperSinglePieceSamples) {
    chunks.push_back({0, n});
    return chunks;
  }
  size_t offset = 0;
  size_t remaining = n;
  for (;;) {
    const size_t length =
        remaining <= kWhisperLastChunkSamples ? remaining : kWhisperChunkSamples;
    chunks.push_back({offset, length});
    if (offset + length >= n) break;
    // remaining > 80,000 here, so it stays positive after the step.
    remaining -= kWhisperChunkStep;
    offset += kWhisperChunkStep;
  }
  return chunks;
}

namespace {

// Byte length of the character a lead byte at s[i] announces (1 for any
// other byte), whether or not s holds all of it.
size_t utf8_natural_length(const std::string& s, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Byte length of the UTF-8 piece that starts at s[i].
size_t utf8_piece_length(const std::string& s, size_t i) {
  const size_t len = utf8_natural_length(s, i);
  return i + len > s.size() ? 1 : len;  // a truncated character: its lead byte alone
}

// Start offsets of the pieces of s, then s.size(): piece i is
// [starts[i], starts[i + 1]). Offsets rather than strings keep a merge
// into a long accumulated text free of per-character allocations.
std::vector<size_t> utf8_piece_starts(const std::string& s) {
  std::vector<size_t> starts;
  starts.reserve(s.size() + 1);
  for (size_t i = 0; i < s.size(); i += utf8_piece_length(s, i)) starts.push_back(i);
  starts.push_back(s.size());
  return starts;
}

}  // namespace

std::vector<std::string> split_utf8_chars(const std::string& s) {
  std::vector<std::string> chars;
  for (size_t i = 0; i < s.size();) {
    const size_t len = utf8_piece_length(s, i);
    chars.emplace_back(s, i, len);
    i += len;
  }
  return chars;
}

namespace {

// How many leading pieces of next (right: its piece starts, then its size)
// repeat the last pieces of accumulated (tail: the starts of its last pieces,
// at least as many as next has, then its size). Equal bytes are not enough:
// the piece boundaries must agree too.
size_t overlap_pieces(const std::string& accumulated, const std::vector<size_t>& tail,
                      const std::string& next, const std::vector<size_t>& right) {
  const size_t n_left = tail.size() - 1;
  const size_t n_right = right.size() - 1;
  size_t overlap = std::min(n_left, n_right);
  for (; overlap > 0; --overlap) {
    const size_t left_from = tail[n_left - overlap];
    const size_t bytes = accumulated.size() - left_from;
    if (bytes != right[overlap]) continue;
    if (accumulated.compare(left_from, bytes, next, 0, bytes) != 0) continue;
    bool same_pieces = true;
    for (size_t i = 1; i < overlap && same_pieces; ++i)
      same_pieces = tail[n_left - overlap + i] - left_from == right[i];
    if (same_pieces) break;
  }
  return overlap;
}

}  // namespace

void merge_chunk_text(std::string& accumulated, const std::string& next) {
  // Both texts are split from their own start, as characters are read; a
  // stray byte at the end of accumulated is a piece of its own there.
  const std::vector<size_t> right = utf8_piece_starts(next);
  const size_t overlap =
      overlap_pieces(accumulated, utf8_piece_starts(accumulated), next, right);
  accumulated.append(next, right[overlap], std::string::npos);
}

void whisper_text_joiner::append(const std::string& next) {
  const std::vector<size_t> right = utf8_piece_starts(next);
  const size_t n_right = right.size() - 1;
  // The last pieces of the text: the recorded ones, then those of the
  // unsettled bytes at the end, split as they stand now.
  std::vector<size_t> tail;
  const size_t recorded = std::min(starts_.size(), n_right);
  tail.assign(starts_.end() - static_cast<std::ptrdiff_t>(recorded), starts_.end());
  for (size_t i = parsed_; i < text_.size(); i += utf8_piece_length(text_, i)) tail.push_back(i);
  tail.push_back(text_.size());
  const size_t overlap = overlap_pieces(text_, tail, next, right);
  text_.append(next, right[overlap], std::string::npos);
  // Settle the pieces that can no longer change: every one that ends within
  // the text. A lead byte whose character runs past the end stays open.
  while (parsed_ < text_.size()) {
    const size_t len = utf8_natural_length(text_, parsed_);
    if (len > text_.size() - parsed_) break;
    starts_.push_back(parsed_);
    parsed_ += len;
  }
}

std::string whisper_text_joiner::take() {
  std::string out = std::move(text_);
  *this = whisper_text_joiner();
  return out;
}
