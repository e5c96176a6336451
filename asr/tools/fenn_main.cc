// fenn: transcribe WAV files with libfenn from the command line.
//
// One JSON object per transcribed file goes to standard output, one per
// line, in the order the files were given, unless --format asks for one of
// the other OpenAI response formats. Everything else (usage errors,
// the library's own diagnostics, which files failed) goes to standard error.
// Only the public C interface of libfenn is used, exactly as any program
// built on the library would use it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/json_text.h"
#include "tools/transcript_formats.h"
#include "tools/wav_duration.h"
#include "zor_asr.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a model did not load or a file failed
constexpr int kExitUsage = 2;

constexpr const char kUsage[] =
    "usage: fenn --backend sensevoice|whisper --model M [--decoder D] --tokens T\n"
    "            [--language L] [--task transcribe|translate] [--extra JSON]\n"
    "            [--format json|text|srt|vtt|verbose_json] FILE.wav...\n"
    "\n"
    "Transcribes 16-bit PCM WAV files with libfenn and prints one JSON object per\n"
    "file on standard output, one per line:\n"
    "  {\"file\": ..., \"text\": ..., \"language\": ... or null,\n"
    "   \"audio_seconds\": ..., \"wall_seconds\": ..., \"rtf\": ...}\n"
    "rtf is wall_seconds / audio_seconds (null for audio of no length).\n"
    "\n"
    "options:\n"
    "  --backend B    sensevoice or whisper\n"
    "  --model M      SenseVoice: the compiled model; Whisper: the encoder\n"
    "  --decoder D    Whisper: the compiled decoder (required for whisper)\n"
    "  --tokens T     SenseVoice: the token file; Whisper: the directory holding\n"
    "                 tokenizer_info.bin and data.bin, or tokenizer_info.bin itself\n"
    "  --language L   language code such as en or zh; default auto\n"
    "  --task T       transcribe (default) or translate (Whisper only)\n"
    "  --extra JSON   engine settings, e.g. '{\"n_threads\": 4}' or '{\"use_itn\": 1}'\n"
    "  --format F     what is printed per file, as OpenAI's response formats:\n"
    "                 json (default) the line above; text the text alone, a line\n"
    "                 per file; srt or vtt subtitles of the timed segments (one\n"
    "                 file only); verbose_json a line per file with task,\n"
    "                 language, duration, text and segments (start and end in\n"
    "                 seconds), and SenseVoice's emotion and event\n"
    "  -h, --help     show this help\n"
    "Options also take the form --name=value.\n"
    "\n"
    "Files that fail are reported on standard error and skipped; the exit status\n"
    "is 0 when every file was transcribed, 1 when a file or the model failed and\n"
    "2 for a usage error. ZOR_NPURT_PATH names the NPU runtime to load.\n";

struct Options {
  std::string backend;
  std::string model;
  std::string decoder;
  std::string tokens;
  std::string language;
  std::string task;
  std::string extra;
  std::string format = "json";
  bool has_extra = false;
  std::vector<std::string> files;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "fenn: %s\nTry 'fenn --help' for more information.\n", message.c_str());
  return kExitUsage;
}

// Parses argv into *options. Returns -1 to go on, or the exit status.
int ParseArguments(int argc, char** argv, Options* options) {
  struct ValueOption {
    const char* name;
    std::string* target;
  };
  const ValueOption value_options[] = {
      {"--backend", &options->backend}, {"--model", &options->model},
      {"--decoder", &options->decoder}, {"--tokens", &options->tokens},
      {"--language", &options->language}, {"--task", &options->task},
      {"--extra", &options->extra}, {"--format", &options->format},
  };
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (only_files || arg.empty() || arg[0] != '-' || arg == "-") {
      options->files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const ValueOption* match = nullptr;
    for (const ValueOption& option : value_options) {
      if (name == option.name) match = &option;
    }
    if (match == nullptr) return UsageError("unknown option '" + name + "'");
    if (equals != std::string::npos) {
      *match->target = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      *match->target = argv[++i];
    } else {
      return UsageError("option '" + name + "' needs a value");
    }
    if (match->target == &options->extra) options->has_extra = true;
  }

  if (options->backend.empty()) return UsageError("--backend is required (sensevoice or whisper)");
  if (options->backend != "sensevoice" && options->backend != "whisper") {
    return UsageError("unknown backend '" + options->backend + "' (sensevoice or whisper)");
  }
  if (options->model.empty()) return UsageError("--model is required");
  if (options->tokens.empty()) return UsageError("--tokens is required");
  if (options->backend == "whisper" && options->decoder.empty()) {
    return UsageError("--decoder is required for the whisper backend");
  }
  if (!options->task.empty() && options->task != "transcribe" && options->task != "translate") {
    return UsageError("unknown task '" + options->task + "' (transcribe or translate)");
  }
  const std::string& f = options->format;
  if (f != "json" && f != "text" && f != "srt" && f != "vtt" && f != "verbose_json") {
    return UsageError("unknown format '" + f + "' (json, text, srt, vtt or verbose_json)");
  }
  if (options->files.empty()) return UsageError("no WAV file given");
  // Subtitle files do not concatenate into one.
  if ((f == "srt" || f == "vtt") && options->files.size() > 1) {
    return UsageError("--format " + f + " takes one WAV file");
  }
  return -1;
}

std::string FormatNumber(double value, const char* format) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

struct ContextCloser {
  ASRContext ctx;
  ~ContextCloser() { zor_asr_uninit(ctx); }
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseArguments(argc, argv, &options);
  if (parsed >= 0) return parsed;

  ZOR_ASRInitConfig config;
  std::memset(&config, 0, sizeof config);
  config.model_type =
      options.backend == "whisper" ? ZOR_ASR_MODEL_WHISPER : ZOR_ASR_MODEL_SENSEVOICE;
  config.model_path = options.model.c_str();
  config.decoder_path = options.decoder.empty() ? nullptr : options.decoder.c_str();
  config.tokenizer_path = options.tokens.c_str();
  config.extra_json = options.has_extra ? options.extra.c_str() : nullptr;

  ASRContext ctx = nullptr;
  if (zor_asr_init(&ctx, &config) != ZOR_ASR_Status_Success) {
    std::fprintf(stderr, "fenn: could not load the %s model '%s'\n", options.backend.c_str(),
                 options.model.c_str());
    return kExitFailed;
  }
  ContextCloser closer{ctx};

  int status = kExitOk;
  for (const std::string& file : options.files) {
    ZOR_ASRInput input;
    std::memset(&input, 0, sizeof input);
    input.audio_type = ZOR_ASR_AUDIO_FILE;
    input.file_path = file.c_str();
    input.language = options.language.empty() ? nullptr : options.language.c_str();
    input.task = options.task.empty() ? nullptr : options.task.c_str();
    input.timestamps = options.format == "srt" || options.format == "vtt" ||
                       options.format == "verbose_json";
    ZOR_ASRResult result;
    std::memset(&result, 0, sizeof result);

    const auto start = std::chrono::steady_clock::now();
    const ZOR_ASRRetStatus rc = zor_asr_transcribe(ctx, &input, &result);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != ZOR_ASR_Status_Success || result.text == nullptr) {
      std::fprintf(stderr, "fenn: %s: transcription failed\n", file.c_str());
      status = kExitFailed;
      continue;
    }

    const double audio = WavDurationSeconds(file);
    std::string line;
    if (options.format == "text") {
      line = FormatText(result);
    } else if (options.format == "srt") {
      line = FormatSrt(result);
    } else if (options.format == "vtt") {
      line = FormatVtt(result);
    } else if (options.format == "verbose_json") {
      line = FormatVerboseJson(result, {options.task.empty() ? "transcribe" : options.task, audio});
    } else {
      line = "{\"file\": " + JsonQuote(file);
      line += ", \"text\": " + JsonQuote(result.text);
      line += ", \"language\": ";
      line += result.language != nullptr ? JsonQuote(result.language) : "null";
      line += ", \"audio_seconds\": ";
      line += audio >= 0 ? FormatNumber(audio, "%.3f") : "null";
      line += ", \"wall_seconds\": " + FormatNumber(wall, "%.3f");
      line += ", \"rtf\": ";
      line += audio > 0 ? FormatNumber(wall / audio, "%.4f") : "null";
      line += "}\n";
    }
    zor_asr_free_result(&result);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);  // a line per file as soon as it is done
  }
  return status;
}
