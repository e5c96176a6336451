#include "whisper/whisper_languages.h"

#include <cstring>

namespace {

// In token order: entry i is the language token 50259 + i.
constexpr const char* kCodes[kWhisperLanguageCount] = {
    "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl",  "ca", "nl", "ar",
    "sv", "it", "id", "hi", "fi", "vi", "he", "uk", "el", "ms", "cs",  "ro", "da", "hu",
    "ta", "no", "th", "ur", "hr", "bg", "lt", "la", "mi", "ml", "cy",  "sk", "te", "fa",
    "lv", "bn", "sr", "az", "sl", "kn", "et", "mk", "br", "eu", "is",  "hy", "ne", "mn",
    "bs", "kk", "sq", "sw", "gl", "mr", "pa", "si", "km", "sn", "yo",  "so", "af", "oc",
    "ka", "be", "tg", "sd", "gu", "am", "yi", "lo", "uz", "fo", "ht",  "ps", "tk", "nn",
    "mt", "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw", "ln", "ha", "ba", "jw",
    "su", "yue",
};

}  // namespace

int whisper_language_index(const char* code) {
  if (code == nullptr) return -1;
  for (int i = 0; i < kWhisperLanguageCount; ++i) {
    if (std::strcmp(kCodes[i], code) == 0) return i;
  }
  return -1;
}

const char* whisper_language_code(int index) {
  if (index < 0 || index >= kWhisperLanguageCount) return nullptr;
  return kCodes[index];
}
