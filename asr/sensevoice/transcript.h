// Transcript assembly: reads the leading tags the network emits (language,
// emotion, audio event, text normalisation) and builds the cleaned text.
#ifndef ZOR_ASR_SENSEVOICE_TRANSCRIPT_H_
#define ZOR_ASR_SENSEVOICE_TRANSCRIPT_H_

#include <string>
#include <vector>

#include "sensevoice/symbol_table.h"

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

#endif  // ZOR_ASR_SENSEVOICE_TRANSCRIPT_H_
