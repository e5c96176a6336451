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

// Byte length of the UTF-8 piece that starts at s[i].
size_t utf8_piece_length(const std::string& s, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  size_t len = 1;
  if ((lead & 0xE0) == 0xC0) {
    len = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4;
  }
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

void merge_chunk_text(std::string& accumulated, const std::string& next) {
  // Both texts are split from their own start, as characters are read; a
  // stray byte at the end of accumulated is a piece of its own there.
  const std::vector<size_t> left = utf8_piece_starts(accumulated);
  const std::vector<size_t> right = utf8_piece_starts(next);
  const size_t n_left = left.size() - 1;
  const size_t n_right = right.size() - 1;
  size_t overlap = std::min(n_left, n_right);
  for (; overlap > 0; --overlap) {
    // The last `overlap` pieces of accumulated against the first of next:
    // equal bytes are not enough, the piece boundaries must agree too.
    const size_t left_from = left[n_left - overlap];
    const size_t bytes = accumulated.size() - left_from;
    if (bytes != right[overlap]) continue;
    if (accumulated.compare(left_from, bytes, next, 0, bytes) != 0) continue;
    bool same_pieces = true;
    for (size_t i = 1; i < overlap && same_pieces; ++i)
      same_pieces = left[n_left - overlap + i] - left_from == right[i];
    if (same_pieces) break;
  }
  accumulated.append(next, right[overlap], std::string::npos);
}
