// How long a WAV file plays, read from its header alone.
#ifndef ZOR_ASR_TOOLS_WAV_DURATION_H_
#define ZOR_ASR_TOOLS_WAV_DURATION_H_

#include <string>

// Seconds of audio in the PCM16 WAV at `path`, from the header walk libfenn's
// reader uses (api/wav_header.h), so the figure matches what the library
// recognises: whole frames of the declared data size, at the declared rate.
// Returns a negative value when the header is refused or declares no rate;
// the library then reports the problem itself.
double WavDurationSeconds(const std::string& path);

#endif  // ZOR_ASR_TOOLS_WAV_DURATION_H_
