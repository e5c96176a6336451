// The response formats of OpenAI-compatible transcription, written from one
// libfenn result: plain text, SubRip and WebVTT subtitles, and the verbose
// JSON transcript. ("json", the text with fenn's own figures, is the
// program's line and stays in fenn_main.cc.)
#ifndef ZOR_ASR_TOOLS_TRANSCRIPT_FORMATS_H_
#define ZOR_ASR_TOOLS_TRANSCRIPT_FORMATS_H_

#include <string>

#include "zor_asr.h"

// What a verbose transcript says besides the result: the task asked for
// ("transcribe" or "translate") and the audio's length (negative: unknown).
struct TranscriptInfo {
  std::string task;
  double duration_seconds;
};

// The text and a line feed.
std::string FormatText(const ZOR_ASRResult& result);

// The segments as SubRip cues: numbered from 1, times "HH:MM:SS,mmm".
std::string FormatSrt(const ZOR_ASRResult& result);

// The segments as a WebVTT file: the "WEBVTT" header, times "HH:MM:SS.mmm".
std::string FormatVtt(const ZOR_ASRResult& result);

// One line of JSON shaped as OpenAI's verbose transcription: task, language,
// duration, text and segments (id, seek, start, end, text, tokens and the
// decoding figures, which fenn's greedy decoding does not measure and
// reports as 0), plus SenseVoice's emotion and event when the result has
// them.
std::string FormatVerboseJson(const ZOR_ASRResult& result, const TranscriptInfo& info);

#endif  // ZOR_ASR_TOOLS_TRANSCRIPT_FORMATS_H_
