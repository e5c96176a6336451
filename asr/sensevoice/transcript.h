// Transcript assembly: reads the leading tags the network emits (language,
// emotion, audio event, text normalisation) and builds the cleaned text.
#ifndef ZOR_ASR_SENSEVOICE_TRANSCRIPT_H_
#define ZOR_ASR_SENSEVOICE_TRANSCRIPT_H_

#include <string>
#include <vector>

#include "api/asr_engines.h"
#include "sensevoice/ctc_greedy_decoder.h"
#include "sensevoice/symbol_table.h"

// A stretch this long without text-bearing tokens ends a segment.
constexpr int64_t kSenseVoicePauseSamples = 8000;  // 0.5 s

struct SenseVoiceTranscript {
  std::string language;
  std::string emotion;
  std::string event;
  std::string textnorm;
  std::string text;
};

// ids: decoded token ids. language: the caller's language, used when the
// tokens name none (may be null). default_textnorm: "withitn" or "woitn",
// used when the tokens name none. Tags are read from the first 40 tokens
// only; emotion and event default to "NEUTRAL" and "Speech".
SenseVoiceTranscript AssembleTranscript(const std::vector<int>& ids, const SymbolTable& symbols,
                                        const char* language,
                                        const std::string& default_textnorm);

// "<|en|>" -> "en". Strings that are not bracketed as a tag (or are no
// longer than 3 characters) come back unchanged.
std::string StripTag(const std::string& tag);

// The text part of assembly, on the concatenated pieces: special tokens
// and tags deleted, word-start marks turned into spaces, and whitespace (tab,
// line feed, space) trimmed and collapsed to single spaces.
std::string CleanTranscriptText(std::string raw);

// Deletes every "<|...|>" tag: "<|", one or more characters other than
// '>', then "|>", taking matches left to right without overlap.
std::string RemoveTags(const std::string& text);

// The decoded tokens as timed segments of text. A token stands from the
// start of its first frame to the end of its last, row r covering samples
// [960 r, 960 (r + 1)); tokens on the prompt frames stand at 0. A segment ends
// after a token whose text ends a sentence (. ? ! and their full-width
// forms, the ellipsis) and before a token that follows the last text-bearing
// one by a pause of kSenseVoicePauseSamples or more. Tokens without text of
// their own (tags, special tokens, a lone word-start mark) neither start nor
// time a segment. Each text is cleaned as the whole transcript is; segments
// left without text are dropped.
std::vector<asr_segment> SegmentTranscript(const std::vector<CtcToken>& tokens,
                                           const SymbolTable& symbols);

#endif  // ZOR_ASR_SENSEVOICE_TRANSCRIPT_H_
