// Files the Whisper engine reads, as tests write them: the vocabulary
// ("tokenizer_info.bin") and a mel filter bank ("data.bin").
#ifndef ZOR_ASR_WHISPER_WHISPER_TEST_FILES_H_
#define ZOR_ASR_WHISPER_WHISPER_TEST_FILES_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

inline std::string WhisperLe32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// The vocabulary file: the entry count (count_override when not negative),
// then each text with its byte length.
inline std::string WhisperTokenizerBytes(const std::vector<std::string>& texts,
                                         int count_override = -1) {
  std::string out = WhisperLe32(
      count_override >= 0 ? static_cast<uint32_t>(count_override) : texts.size());
  for (const std::string& t : texts) out += WhisperLe32(static_cast<uint32_t>(t.size())) + t;
  return out;
}

// 300 words: "w<i>", with " hello" at 100, " world" at 101 and "é" at 102,
// in the byte-level BPE alphabet (U+0120 is the space).
inline std::vector<std::string> WhisperTestVocabulary() {
  std::vector<std::string> texts(300);
  for (size_t i = 0; i < texts.size(); ++i) texts[i] = "w" + std::to_string(i);
  texts[100] = "\xC4\xA0hello";
  texts[101] = "\xC4\xA0world";
  texts[102] = "\xC3\x83\xC2\xA9";  // U+00C3 U+00A9: the bytes of é
  return texts;
}

// A flat filter bank of 128 x 201 float32 weights: every mel bin sums a band
// of the power spectrum, enough for the spectrogram to follow the audio.
inline std::string WhisperFlatFilterBank() {
  std::string filters;
  for (int j = 0; j < 128; ++j) {
    for (int k = 0; k < 201; ++k) {
      const float w = (k >= j && k < j + 8) ? 0.125f : 0.0f;
      uint32_t bits;
      std::memcpy(&bits, &w, 4);
      filters += WhisperLe32(bits);
    }
  }
  return filters;
}

#endif  // ZOR_ASR_WHISPER_WHISPER_TEST_FILES_H_
