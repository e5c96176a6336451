// Placeholder so that libfenn links while the SenseVoice engine is written;
// replaced by the engine itself.
#include "api/asr_engines.h"

extern "C" {
sense_voice_engine* sense_voice_create(const sense_voice_config*) { return nullptr; }
int sense_voice_recognize(sense_voice_engine*, const int16_t*, size_t, const char*,
                          sense_voice_result*) {
  return -1;
}
void sense_voice_free_result(sense_voice_result*) {}
void sense_voice_destroy(sense_voice_engine*) {}
}
