#include "sensevoice/transcript.h"

#include <algorithm>
#include <cstring>

#include "sensevoice/sense_voice_features.h"

namespace {

constexpr size_t kTagScanLimit = 40;

const char* const kLanguageTags[] = {"<|zh|>", "<|en|>", "<|yue|>",
                                     "<|ja|>", "<|ko|>", "<|nospeech|>"};
const char* const kEmotionTags[] = {"<|HAPPY|>",   "<|SAD|>",       "<|ANGRY|>",
                                    "<|NEUTRAL|>", "<|FEARFUL|>",   "<|DISGUSTED|>",
                                    "<|SURPRISED|>"};
const char* const kEventTags[] = {"<|BGM|>",      "<|Speech|>", "<|Applause|>",
                                  "<|Laughter|>", "<|Cry|>",    "<|Sneeze|>",
                                  "<|Breath|>",   "<|Cough|>"};
const char* const kTextNormTags[] = {"<|withitn|>", "<|woitn|>"};

// Special tokens that never belong in the text, removed in this order.
const char* const kRemovedTokens[] = {
    "<s>",     "</s>",    "<blk>",     "<blank>",         "<eps>",          "<unk>",
    "<|SER|>", "<|AED|>", "<|GBG|>", "<|OTHER|>", "<|EMO_UNKNOWN|>", "<|Event_UNK|>",
    "<|Speech_Noise|>", "<|Sing|>"};

constexpr char kWordStart[] = "\xE2\x96\x81";  // U+2581

template <size_t N>
bool IsOneOf(const std::string& piece, const char* const (&tags)[N]) {
  for (const char* tag : tags) {
    if (piece == tag) return true;
  }
  return false;
}

// Non-overlapping occurrences, left to right, in one linear pass; text that
// closes up around a deleted occurrence is not scanned again.
std::string ReplaceAll(const std::string& text, const char* from, const char* to) {
  const size_t from_len = std::strlen(from);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (size_t hit; (hit = text.find(from, pos, from_len)) != std::string::npos;
       pos = hit + from_len) {
    out.append(text, pos, hit - pos);
    out.append(to);
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// Texts ending one of these end a sentence, and with it a segment.
const char* const kSentenceEnds[] = {".", "?", "!", "\xE3\x80\x82" /* 。 */,
                                     "\xEF\xBC\x9F" /* ？ */, "\xEF\xBC\x81" /* ！ */,
                                     "\xE2\x80\xA6" /* … */};

bool EndsSentence(const std::string& text) {
  for (const char* end : kSentenceEnds) {
    const size_t n = std::strlen(end);
    if (text.size() >= n && text.compare(text.size() - n, n, end) == 0) return true;
  }
  return false;
}

int64_t FrameStartSample(int frame) {
  return int64_t{std::max(0, frame - kSenseVoiceQueryFrames)} * kSenseVoiceSamplesPerRow;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Only tab, line feed and space count: carriage returns and other control
// characters are left in place.
std::string NormaliseWhitespace(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  for (char c : text) {
    if (IsSpace(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string StripTag(const std::string& tag) {
  if (tag.size() > 3 && tag.compare(0, 2, "<|") == 0 &&
      tag.compare(tag.size() - 2, 2, "|>") == 0) {
    return tag.substr(2, tag.size() - 4);
  }
  return tag;
}

// A hand-written matcher rather than a regular expression: the standard
// library's backtracking engine recurses once per matched character and
// overflows the stack on long runs without '>'. This is linear and matches
// exactly what "<\|[^>]+\|>" matches: from a "<|", the match can only end at
// the first '>' after it, which must be preceded by '|' with at least one
// character between "<|" and "|>".
std::string RemoveTags(const std::string& text) {
  const size_t n = text.size();
  std::string out;
  out.reserve(n);
  size_t next_gt = 0;  // first '>' at or after the scan position (n if none)
  size_t i = 0;
  while (i < n) {
    if (text[i] == '<' && i + 1 < n && text[i + 1] == '|') {
      if (next_gt < i + 2) {
        next_gt = text.find('>', i + 2);
        if (next_gt == std::string::npos) next_gt = n;
      }
      if (next_gt < n && next_gt >= i + 4 && text[next_gt - 1] == '|') {
        i = next_gt + 1;
        continue;
      }
    }
    out.push_back(text[i]);
    ++i;
  }
  return out;
}

SenseVoiceTranscript AssembleTranscript(const std::vector<int>& ids, const SymbolTable& symbols,
                                        const char* language,
                                        const std::string& default_textnorm) {
  SenseVoiceTranscript out;
  std::string raw;
  const size_t scan = std::min(kTagScanLimit, ids.size());
  for (size_t k = 0; k < ids.size(); ++k) {
    const std::string& piece = symbols.Lookup(ids[k]);
    raw += piece;
    if (k >= scan || piece.size() < 4) continue;
    if (IsOneOf(piece, kLanguageTags)) {
      out.language = StripTag(piece);
    } else if (IsOneOf(piece, kEmotionTags)) {
      out.emotion = StripTag(piece);
    } else if (IsOneOf(piece, kEventTags)) {
      out.event = StripTag(piece);
    } else if (IsOneOf(piece, kTextNormTags)) {
      out.textnorm = StripTag(piece);
    }
  }
  if (out.language.empty() && language != nullptr) out.language = language;
  if (out.emotion.empty()) out.emotion = "NEUTRAL";
  if (out.event.empty()) out.event = "Speech";
  if (out.textnorm.empty()) out.textnorm = default_textnorm;

  out.text = CleanTranscriptText(std::move(raw));
  return out;
}

std::string CleanTranscriptText(std::string text) {
  for (const char* removed : kRemovedTokens) text = ReplaceAll(text, removed, "");
  text = RemoveTags(text);
  text = ReplaceAll(text, kWordStart, " ");
  return NormaliseWhitespace(text);
}

std::vector<asr_segment> SegmentTranscript(const std::vector<CtcToken>& tokens,
                                           const SymbolTable& symbols) {
  std::vector<asr_segment> segments;
  std::string raw;  // pieces of the open segment, cleaned when it closes
  int64_t start = 0;
  int64_t end = 0;
  bool has_text = false;
  const auto close = [&]() {
    std::string text = CleanTranscriptText(std::move(raw));
    if (has_text && !text.empty()) segments.push_back({start, end, std::move(text)});
    raw.clear();
    has_text = false;
  };
  for (const CtcToken& token : tokens) {
    const std::string& piece = symbols.Lookup(token.id);
    const std::string own_text = CleanTranscriptText(piece);
    if (own_text.empty()) {
      raw += piece;
      continue;
    }
    const int64_t token_start = FrameStartSample(token.first_frame);
    if (has_text && token_start - end >= kSenseVoicePauseSamples) close();
    if (!has_text) start = token_start;
    has_text = true;
    end = FrameStartSample(token.last_frame + 1);
    raw += piece;
    if (EndsSentence(own_text)) close();
  }
  close();
  return segments;
}
