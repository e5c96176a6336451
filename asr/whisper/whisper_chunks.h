// Long audio in overlapping chunks: where the chunks lie, and how the text of
// one chunk is joined to the text of those before it.
//
// Audio of up to 72,000 samples (4.5 s) is recognised in one piece. Longer
// audio is cut into chunks of 64,000 samples (4 s) taken every 51,200
// samples (3.2 s), so consecutive chunks share 12,800 samples (0.8 s); a
// remainder of 80,000 samples (5 s) or less is taken whole as the last
// chunk, so no chunk is shorter than 1.2 s except in the single-piece case.
// Words spoken in the shared stretch tend to appear at the end of one chunk
// text and the start of the next, and the merge drops that repetition.
#ifndef ZOR_ASR_WHISPER_WHISPER_CHUNKS_H_
#define ZOR_ASR_WHISPER_WHISPER_CHUNKS_H_

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kWhisperSinglePieceSamples = 72000;
constexpr size_t kWhisperChunkSamples = 64000;
constexpr size_t kWhisperLastChunkSamples = 80000;
constexpr size_t kWhisperChunkStep = 51200;

struct whisper_chunk {
  size_t offset;  // first sample
  size_t length;  // sample count
};

// The chunks of an input of n samples longer than kWhisperSinglePieceSamples,
// in order. For shorter inputs (single piece) it gives the one chunk [0, n);
// for n = 0 it gives none.
std::vector<whisper_chunk> plan_whisper_chunks(size_t n);

// s cut into UTF-8 characters. A byte below 0x80 is one character; a lead
// byte 110xxxxx, 1110xxxx or 11110xxx starts a character of 2, 3 or 4 bytes
// (continuation bytes are taken as they come). Any other byte, and a lead
// byte whose character would run past the end of s, is a piece of its own.
std::vector<std::string> split_utf8_chars(const std::string& s);

// Appends next to accumulated, leaving out the longest run of characters
// that ends accumulated and also starts next. Nothing is put between the
// two, and a multi-byte character is never split.
void merge_chunk_text(std::string& accumulated, const std::string& next);

// The texts of a recording's chunks joined one after another, each as
// merge_chunk_text joins it. The character boundaries of the text so far are
// kept as it grows, so a join reads only the tail the next text can overlap:
// its cost does not grow with the length of the recording.
class whisper_text_joiner {
 public:
  void append(const std::string& next);
  const std::string& text() const { return text_; }
  std::string take();

 private:
  std::string text_;
  // Starts of the pieces of text_ that end at or before parsed_; the bytes
  // after parsed_ (at most three) start a character that may still be
  // completed by what is appended.
  std::vector<size_t> starts_;
  size_t parsed_ = 0;
};

#endif  // ZOR_ASR_WHISPER_WHISPER_CHUNKS_H_
