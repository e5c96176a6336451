// Placeholder so that libfenn links while the Whisper engine is written;
// replaced by the engine itself.
#include "api/asr_engines.h"

extern "C" {
whisper_asr_engine* whisper_asr_create(const char*, const char*, const char*, const char*, int) {
  return nullptr;
}
void whisper_asr_destroy(whisper_asr_engine*) {}
}
int whisper_asr_recognize(whisper_asr_engine*, const int16_t*, size_t, const char*, const char*,
                          std::string&, std::string&) {
  return -1;
}
