#include "tools/transcript_formats.h"

#include <cstdio>

#include "tools/json_text.h"

namespace {

// "HH:MM:SS" then separator and milliseconds; hours run past 99 as needed.
std::string Timestamp(uint32_t ms, char separator) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u%c%03u", ms / 3600000u, ms / 60000u % 60u,
                ms / 1000u % 60u, separator, ms % 1000u);
  return buffer;
}

// A cue's text on one line: a line break would end the cue early. WebVTT
// also does not allow "-->" in a cue; its '>' is written as the "&gt;" the
// format reads back as '>'.
std::string CueText(const char* text, bool vtt) {
  std::string out;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    if (*p == '\n' || *p == '\r') {
      out.push_back(' ');
    } else if (vtt && *p == '>' && out.size() >= 2 && out.compare(out.size() - 2, 2, "--") == 0) {
      out += "&gt;";
    } else {
      out.push_back(*p);
    }
  }
  return out;
}

std::string Cues(const ZOR_ASRResult& result, bool vtt) {
  const char separator = vtt ? '.' : ',';
  std::string out;
  for (uint32_t i = 0; i < result.n_segments; ++i) {
    const ZOR_ASRSegment& s = result.segments[i];
    if (!vtt) out += std::to_string(i + 1) + "\n";  // SubRip numbers its cues
    out += Timestamp(s.start_ms, separator) + " --> " + Timestamp(s.end_ms, separator) + "\n";
    out += CueText(s.text, vtt) + "\n\n";
  }
  return out;
}

std::string Seconds(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
  return buffer;
}

std::string Quoted(const char* s) { return JsonQuote(s != nullptr ? s : ""); }

}  // namespace

std::string FormatText(const ZOR_ASRResult& result) {
  return std::string(result.text != nullptr ? result.text : "") + "\n";
}

std::string FormatSrt(const ZOR_ASRResult& result) { return Cues(result, false); }

std::string FormatVtt(const ZOR_ASRResult& result) {
  return "WEBVTT\n\n" + Cues(result, true);
}

std::string FormatVerboseJson(const ZOR_ASRResult& result, const TranscriptInfo& info) {
  std::string out = "{\"task\": " + JsonQuote(info.task);
  out += ", \"language\": " + Quoted(result.language);
  out += ", \"duration\": " + Seconds(info.duration_seconds >= 0 ? info.duration_seconds : 0);
  out += ", \"text\": " + Quoted(result.text);
  out += ", \"segments\": [";
  for (uint32_t i = 0; i < result.n_segments; ++i) {
    const ZOR_ASRSegment& s = result.segments[i];
    if (i > 0) out += ", ";
    // seek: where the segment starts, in the 10-ms frames of the spectrogram.
    out += "{\"id\": " + std::to_string(i) + ", \"seek\": " + std::to_string(s.start_ms / 10);
    out += ", \"start\": " + Seconds(s.start_ms / 1000.0);
    out += ", \"end\": " + Seconds(s.end_ms / 1000.0);
    out += ", \"text\": " + Quoted(s.text);
    out += ", \"tokens\": [], \"temperature\": 0.0, \"avg_logprob\": 0.0, "
           "\"compression_ratio\": 0.0, \"no_speech_prob\": 0.0}";
  }
  out += "]";
  if (result.emotion != nullptr) out += ", \"emotion\": " + Quoted(result.emotion);
  if (result.event != nullptr) out += ", \"event\": " + Quoted(result.event);
  out += "}\n";
  return out;
}
