// The language table of the Whisper decoder: 100 codes whose position i is
// the language token 50259 + i. Lookups are exact and case-sensitive, so
// "EN" is not "en".
#ifndef ZOR_ASR_WHISPER_WHISPER_LANGUAGES_H_
#define ZOR_ASR_WHISPER_WHISPER_LANGUAGES_H_

#include <cstdint>

constexpr int kWhisperLanguageCount = 100;
constexpr int32_t kWhisperFirstLanguageToken = 50259;  // "en"
constexpr int32_t kWhisperLastLanguageToken =
    kWhisperFirstLanguageToken + kWhisperLanguageCount - 1;  // "yue", 50358

// Position of code in the table, or -1 when code is null or not in it.
int whisper_language_index(const char* code);

// Code at position index (0..99), or null outside the table.
const char* whisper_language_code(int index);

#endif  // ZOR_ASR_WHISPER_WHISPER_LANGUAGES_H_
