// The Whisper engine: an encoder and a decoder network on the NPU plus the
// vocabulary. Each piece of audio (at most 5 s) becomes a 128 x 3000 log-mel
// spectrogram, one encoder run, an optional language detection and greedy
// decoding that re-runs the decoder over the whole 48-token window for every
// token (the networks keep no state between runs). Longer audio is cut into
// overlapping chunks whose texts are joined by their overlap.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/asr_engines.h"
#include "npu/zornn_api.h"
#include "whisper/log_mel.h"
#include "whisper/logits_argmax.h"
#include "whisper/whisper_chunks.h"
#include "whisper/whisper_languages.h"
#include "whisper/whisper_vocab.h"

namespace {

constexpr int kDefaultThreads = 8;
constexpr int kMelBins = 128;
constexpr int kEncoderFrames = 3000;  // 30 s at a 10 ms hop
constexpr size_t kEncoderInputFloats = static_cast<size_t>(kMelBins) * kEncoderFrames;
constexpr size_t kTokenWindow = 48;
constexpr size_t kPromptTokens = 4;
constexpr size_t kVocabSize = 51866;  // logits per position

constexpr int64_t kEndOfText = 50257;
constexpr int64_t kStartOfTranscript = 50258;
constexpr int64_t kTranslate = 50359;
constexpr int64_t kTranscribe = 50360;
constexpr int64_t kNoTimestamps = 50364;
// Timestamp tokens: 50365 + k says "k x 20 ms into the piece", up to 30 s.
constexpr int64_t kFirstTimestamp = 50365;
constexpr int64_t kLastTimestamp = 51865;
constexpr int64_t kSamplesPerTimestampStep = 320;  // 20 ms at 16 kHz

using TokenWindow = std::array<int64_t, kTokenWindow>;
static_assert(sizeof(TokenWindow) == 384, "the decoder takes 48 x i64");

struct NpuContextDeleter {
  void operator()(void* ctx) const { zornn_destroy(ctx); }
};
using NpuContextPtr = std::unique_ptr<void, NpuContextDeleter>;

// zornn_init as every caller here does it: a null handle, flags 0 and 96
// zero bytes of configuration. A zero return that leaves the handle null is
// a failure too.
NpuContextPtr InitNpuContext(const char* model_path) {
  zornn_context ctx = nullptr;
  zornn_init_config config{};
  const int ret = zornn_init(&ctx, model_path, 0, &config);
  if (ret != 0 || ctx == nullptr) {
    std::fprintf(stderr, "[whisper] zornn_init failed for %s\n", model_path);
    return nullptr;
  }
  return NpuContextPtr(ctx);
}

}  // namespace

struct whisper_asr_engine {
  NpuContextPtr encoder;
  NpuContextPtr decoder;
  whisper_vocab vocab;
  int32_t n_threads = kDefaultThreads;
  // This engine's filter bank file. The process-wide path is set too, but
  // another engine made later would replace it under this one.
  std::string mel_filters_file;
  // The encoder's input and the piece's samples as floats, kept between
  // pieces: every value is rewritten, so fresh ones would only add their
  // zeroing and page faults to each piece.
  std::vector<float> encoder_input;
  std::vector<float> samples;
  // Both contexts and their input bindings are shared by every call, so
  // calls on one engine take turns.
  std::mutex mutex;

  ~whisper_asr_engine() {
    encoder.reset();  // encoder first, then decoder
    decoder.reset();
  }
};

namespace {

// The encoder's output for the piece, where the runtime keeps it: valid
// until the next encoder run, which comes only with the next piece (calls on
// one engine take turns), so the decoder reads it there instead of a copy.
struct AudioFeatures {
  const void* data = nullptr;
  uint32_t bytes = 0;
};

// One position's logits in the runtime's output buffer, read in place: valid
// only until the next run on the decoder context. Half-precision logits are
// taken as the network wrote them: converted by the runtime, every one of
// the 48 rows would be, and the host would read twice the bytes.
struct LogitsRow {
  const void* data = nullptr;
  bool halves = false;
};

// The index of the largest of count logits of the row from first on.
size_t RowArgmax(const LogitsRow& row, size_t first, size_t count) {
  return row.halves ? logits_argmax_f16(static_cast<const uint16_t*>(row.data) + first, count)
                    : logits_argmax(static_cast<const float*>(row.data) + first, count);
}

// One decoder run over the token window with n_valid valid positions. On
// success *row is the logits of the last valid position.
int run_decoder_step(zornn_context decoder, const AudioFeatures& features,
                     const TokenWindow& window, size_t n_valid, LogitsRow* row) {
  *row = LogitsRow{};
  // The decoder's inputs are told apart by their size, not their index: the
  // input that holds 48 elements is the token window.
  zornn_tensor_attr attr{};
  attr.index = 0;
  if (zornn_query(decoder, ZORNN_QUERY_INPUT_ATTR, &attr, sizeof(attr)) != 0) {
    attr = zornn_tensor_attr{};  // a failed query counts as "not the window"
  }
  const bool window_first = attr.n_elems == kTokenWindow;

  zornn_input inputs[2]{};
  zornn_input& tokens = inputs[window_first ? 0 : 1];
  zornn_input& audio = inputs[window_first ? 1 : 0];
  tokens.buf = const_cast<int64_t*>(window.data());  // read-only for the runtime
  tokens.size = static_cast<uint32_t>(sizeof(TokenWindow));
  audio.buf = const_cast<void*>(features.data);  // read-only for the runtime
  audio.size = features.bytes;
  inputs[0].index = 0;
  inputs[1].index = 1;

  if (zornn_inputs_set(decoder, 2, inputs) != 0) {
    std::fprintf(stderr, "[whisper] decoder zornn_inputs_set failed\n");
    return -1;
  }
  if (zornn_run(decoder, nullptr) != 0) {
    std::fprintf(stderr, "[whisper] decoder zornn_run failed\n");
    return -1;
  }
  zornn_tensor_attr logits{};
  logits.index = 0;
  const bool halves = zornn_query(decoder, ZORNN_QUERY_OUTPUT_ATTR, &logits, sizeof(logits)) == 0 &&
                      logits.type == ZORNN_TENSOR_FLOAT16;
  const size_t element = halves ? sizeof(uint16_t) : sizeof(float);
  zornn_output output{};
  output.want_float = halves ? 0 : 1;
  if (zornn_outputs_get(decoder, 1, &output) != 0) {
    std::fprintf(stderr, "[whisper] decoder zornn_outputs_get failed\n");
    return -1;
  }
  // The runtime's buffer must hold n_valid whole rows of logits. A size
  // that is not whole elements or a buffer not aligned for them is a broken
  // output, refused like a short one rather than read.
  if (n_valid == 0 || output.buf == nullptr || output.size % element != 0 ||
      reinterpret_cast<uintptr_t>(output.buf) % element != 0 ||
      output.size / (kVocabSize * element) < n_valid) {
    return -1;
  }
  row->data = static_cast<const uint8_t*>(output.buf) + (n_valid - 1) * kVocabSize * element;
  row->halves = halves;
  return 0;
}

// The language of a piece: the caller's code when it is in the table, "en"
// when it is not, or detected from the decoder's first step when the caller
// left it open (null, "" or "auto").
void ChooseLanguage(whisper_asr_engine& engine, const AudioFeatures& features,
                    const char* language, std::string& code, int64_t& token) {
  code = "en";
  token = kWhisperFirstLanguageToken;
  if (language != nullptr && language[0] != '\0' && std::strcmp(language, "auto") != 0) {
    const int index = whisper_language_index(language);
    if (index < 0) {
      std::fprintf(stderr, "[whisper] unknown language '%s', falling back to en\n", language);
      return;
    }
    code = whisper_language_code(index);
    token = kWhisperFirstLanguageToken + index;
    return;
  }
  TokenWindow window{};
  window[0] = kStartOfTranscript;
  LogitsRow row;
  if (run_decoder_step(engine.decoder.get(), features, window, 1, &row) != 0) {
    std::fprintf(stderr, "[whisper] language detect failed, falling back to en\n");
    return;
  }
  const int index =
      static_cast<int>(RowArgmax(row, kWhisperFirstLanguageToken, kWhisperLanguageCount));
  code = whisper_language_code(index);
  token = kWhisperFirstLanguageToken + index;
  std::fprintf(stderr, "[whisper] auto language -> %s\n", code.c_str());
}

// Spectrogram and encoder run of one piece into the audio features. Returns
// false after its message.
bool EncodePiece(whisper_asr_engine& engine, const int16_t* pcm, size_t n,
                 AudioFeatures& features) {
  std::vector<float>& encoder_input = engine.encoder_input;
  encoder_input.resize(kEncoderInputFloats);
  {
    std::vector<float>& samples = engine.samples;
    samples.resize(n);
    for (size_t i = 0; i < n; ++i) samples[i] = static_cast<float>(pcm[i]) * (1.0f / 32768.0f);
    // Only the first 3000 frames go to the encoder: they are computed
    // straight into its input.
    whisper_filters filters;
    filters.mel_bins = kMelBins;
    filters.fft_bins = 201;
    filters.path = engine.mel_filters_file;
    if (whisper_pcm_to_mel_frames(filters, samples.data(), static_cast<int>(n), engine.n_threads,
                                  encoder_input.data(), kEncoderFrames) != 0) {
      std::fprintf(stderr, "[whisper] log-mel failed\n");
      return false;
    }
  }

  zornn_input input{};
  input.index = 0;
  input.buf = encoder_input.data();
  input.size = static_cast<uint32_t>(encoder_input.size() * sizeof(float));
  if (zornn_inputs_set(engine.encoder.get(), 1, &input) != 0) {
    std::fprintf(stderr, "[whisper] encoder zornn_inputs_set failed\n");
    return false;
  }
  if (zornn_run(engine.encoder.get(), nullptr) != 0) {
    std::fprintf(stderr, "[whisper] encoder zornn_run failed\n");
    return false;
  }
  zornn_output output{};
  output.want_float = 1;
  // An output without a single whole float leaves the decoder nothing to
  // attend to: it fails like a failed fetch instead of decoding from nothing.
  if (zornn_outputs_get(engine.encoder.get(), 1, &output) != 0 || output.buf == nullptr ||
      output.size < sizeof(float)) {
    std::fprintf(stderr, "[whisper] encoder zornn_outputs_get failed\n");
    return false;
  }
  // Whole, rounded down to whole floats, exactly as the decoder must see it.
  features.data = output.buf;
  features.bytes = output.size / sizeof(float) * sizeof(float);
  return true;
}

bool IsTimestamp(int64_t t) { return t >= kFirstTimestamp && t <= kLastTimestamp; }

// Appends the BPE text of token t to raw; an id without text adds nothing.
void AppendTokenText(const whisper_vocab& vocab, int64_t t, std::string& raw) {
  const auto it = vocab.text_by_id.find(static_cast<int32_t>(t));
  if (it != vocab.text_by_id.end()) raw += it->second;
}

// The decoded tokens of a piece of n samples as segments, with the piece's
// sample positions: the text between two timestamp tokens runs from the
// first to the second; text before any timestamp starts at 0 and text after
// the last runs to the end of the piece, so tokens without any timestamp
// make one segment of the whole piece. Texts stay as decoded, whitespace
// included, so that they join to exactly the piece's text.
std::vector<asr_segment> TimedSegments(const whisper_vocab& vocab,
                                       const std::vector<int64_t>& tokens, size_t n) {
  std::vector<asr_segment> segments;
  std::string raw;
  int64_t start = 0;
  for (const int64_t t : tokens) {
    if (!IsTimestamp(t)) {
      AppendTokenText(vocab, t, raw);
      continue;
    }
    // A time past the audio (the encoder sees it padded to 30 s) means its end.
    const int64_t at =
        std::min((t - kFirstTimestamp) * kSamplesPerTimestampStep, static_cast<int64_t>(n));
    if (!raw.empty()) segments.push_back({start, at, whisper_bpe_decode(raw)});
    raw.clear();
    start = at;
  }
  if (!raw.empty()) segments.push_back({start, static_cast<int64_t>(n), whisper_bpe_decode(raw)});
  return segments;
}

// One piece of at most 80,000 samples. text and language_out are written
// only on success. With segments (timestamp mode) the prompt leaves out
// the no-timestamps token, and the timestamp tokens the model answers
// become the piece's segments instead of text.
int recognize_segment(whisper_asr_engine& engine, const int16_t* pcm, size_t n,
                      const char* language, const char* task, std::string& text,
                      std::string& language_out, std::vector<asr_segment>* segments) {
  AudioFeatures features;
  if (!EncodePiece(engine, pcm, n, features)) return -1;

  std::string code;
  int64_t language_token = 0;
  ChooseLanguage(engine, features, language, code, language_token);
  const int64_t task_token =
      task != nullptr && std::strcmp(task, "translate") == 0 ? kTranslate : kTranscribe;

  TokenWindow window{};
  window[0] = kStartOfTranscript;
  window[1] = language_token;
  window[2] = task_token;
  const size_t prompt = segments != nullptr ? kPromptTokens - 1 : kPromptTokens;
  if (segments == nullptr) window[3] = kNoTimestamps;

  // Greedy: the largest logit of the last valid position, nothing
  // suppressed. The window's last slot is filled by the run with n = 47,
  // whose token is decoded without a further run, so a piece yields at most
  // 45 tokens (runs with n = 4 .. 48; 46 with the shorter timestamp prompt).
  std::vector<int64_t> tokens;
  size_t n_valid = prompt;
  int64_t t = kEndOfText;
  for (;;) {
    LogitsRow row;
    if (run_decoder_step(engine.decoder.get(), features, window, n_valid, &row) != 0) return -1;
    t = static_cast<int64_t>(RowArgmax(row, 0, kVocabSize));
    if (n_valid < kTokenWindow) window[n_valid] = t;
    if (n_valid >= kTokenWindow || t == kEndOfText) break;
    tokens.push_back(t);
    ++n_valid;
  }
  if (t != kEndOfText) tokens.push_back(t);

  if (segments != nullptr) {
    *segments = TimedSegments(engine.vocab, tokens, n);
    text.clear();
    for (const asr_segment& segment : *segments) text += segment.text;
  } else {
    std::string raw;
    for (const int64_t token : tokens) AppendTokenText(engine.vocab, token, raw);
    text = whisper_bpe_decode(raw);
  }
  language_out = code;
  return 0;
}

// Leaves out the first `bytes` bytes of the texts of segments, dropping the
// segments they use up: the part of a chunk's text that the merge found
// already said at the end of the chunk before.
void DropLeadingText(std::vector<asr_segment>& segments, size_t bytes) {
  size_t used_up = 0;
  while (used_up < segments.size() && bytes > 0) {
    std::string& text = segments[used_up].text;
    if (text.size() > bytes) {
      text.erase(0, bytes);
      break;
    }
    bytes -= text.size();
    ++used_up;
  }
  segments.erase(segments.begin(), segments.begin() + static_cast<std::ptrdiff_t>(used_up));
}

// Moves a piece's segments, offset to where the piece starts, behind those
// of the pieces before. Chunks overlap, so a segment may begin before the
// one it follows ends: it is made to begin there, keeping the times
// increasing.
void AppendSegments(std::vector<asr_segment>& all, std::vector<asr_segment>& piece,
                    size_t offset) {
  for (asr_segment& segment : piece) {
    segment.start_sample += static_cast<int64_t>(offset);
    segment.end_sample += static_cast<int64_t>(offset);
    if (!all.empty()) segment.start_sample = std::max(segment.start_sample, all.back().end_sample);
    segment.end_sample = std::max(segment.end_sample, segment.start_sample);
    all.push_back(std::move(segment));
  }
}

// Trims each text and drops those left empty, as the front door reports them.
void TrimSegments(std::vector<asr_segment>& segments) {
  std::vector<asr_segment> kept;
  for (asr_segment& segment : segments) {
    const size_t first = segment.text.find_first_not_of(" \t\n\r");
    if (first == std::string::npos) continue;
    const size_t last = segment.text.find_last_not_of(" \t\n\r");
    segment.text = segment.text.substr(first, last - first + 1);
    kept.push_back(std::move(segment));
  }
  segments.swap(kept);
}

int RecognizeChunks(whisper_asr_engine& engine, const int16_t* pcm, size_t n,
                    const char* language, const char* task, std::string& text,
                    std::string& language_out, std::vector<asr_segment>* segments) {
  // The first chunk settles the language (detected, given, or fallen back
  // to "en"); later chunks are decoded with it and detect nothing.
  std::string chunk_language;
  whisper_text_joiner joined;
  for (const whisper_chunk& chunk : plan_whisper_chunks(n)) {
    std::string chunk_text;
    std::string this_language;
    std::vector<asr_segment> chunk_segments;
    const char* lang_arg = chunk_language.empty() ? language : chunk_language.c_str();
    if (recognize_segment(engine, pcm + chunk.offset, chunk.length, lang_arg, task, chunk_text,
                          this_language, segments != nullptr ? &chunk_segments : nullptr) != 0) {
      return -1;
    }
    if (chunk_language.empty()) chunk_language = this_language;
    const size_t before = joined.text().size();
    joined.append(chunk_text);
    // What the join left out of this chunk's text, it said already.
    DropLeadingText(chunk_segments, chunk_text.size() - (joined.text().size() - before));
    if (segments != nullptr) AppendSegments(*segments, chunk_segments, chunk.offset);
  }
  text = joined.take();
  language_out = std::move(chunk_language);
  return 0;
}

}  // namespace

whisper_asr_engine* whisper_asr_create(const char* encoder_path, const char* decoder_path,
                                       const char* tokenizer_file, const char* mel_filters_file,
                                       int n_threads) {
  const auto missing = [](const char* s) { return s == nullptr || s[0] == '\0'; };
  if (missing(encoder_path) || missing(decoder_path) || missing(tokenizer_file) ||
      missing(mel_filters_file)) {
    std::fprintf(stderr,
                 "[whisper] encoder, decoder, tokenizer_info.bin and data.bin are required\n");
    return nullptr;
  }
  try {
    auto engine = std::make_unique<whisper_asr_engine>();
    engine->n_threads = n_threads > 0 ? n_threads : kDefaultThreads;
    engine->mel_filters_file = mel_filters_file;

    int32_t entries = 0;
    engine->vocab = load_whisper_vocab(tokenizer_file, &entries);
    if (entries <= 0) {
      std::fprintf(stderr, "[whisper] failed to load tokenizer '%s'\n", tokenizer_file);
      return nullptr;
    }
    // Both are attempted, so each failing path gets its message; whatever
    // was created is destroyed with the engine.
    engine->encoder = InitNpuContext(encoder_path);
    engine->decoder = InitNpuContext(decoder_path);
    if (!engine->encoder || !engine->decoder) return nullptr;
    // Engines read their own file; the process-wide path serves direct
    // callers of whisper_pcm_to_mel_with_state, and only a create that
    // succeeds may replace it.
    whisper_set_mel_filters_path(mel_filters_file);
    return engine.release();
  } catch (...) {
    // Out of memory; nothing may cross the C boundary.
    return nullptr;
  }
}

void whisper_asr_destroy(whisper_asr_engine* engine) {
  std::unique_ptr<whisper_asr_engine> owned(engine);
}

int whisper_asr_recognize(whisper_asr_engine* engine, const int16_t* samples, size_t n_samples,
                          const char* language, const char* task, std::string& text_out,
                          std::string& language_out) {
  return whisper_asr_timed_recognize(engine, samples, n_samples, language, task, text_out,
                                     language_out, nullptr);
}

int whisper_asr_timed_recognize(whisper_asr_engine* engine, const int16_t* samples,
                                size_t n_samples, const char* language, const char* task,
                                std::string& text_out, std::string& language_out,
                                std::vector<asr_segment>* segments) {
  if (engine == nullptr || samples == nullptr || n_samples == 0) return -1;
  text_out.clear();
  language_out.clear();
  if (segments != nullptr) segments->clear();
  int ret = -1;
  try {
    std::lock_guard<std::mutex> lock(engine->mutex);
    if (n_samples <= kWhisperSinglePieceSamples) {
      ret = recognize_segment(*engine, samples, n_samples, language, task, text_out,
                              language_out, segments);
    } else {
      ret = RecognizeChunks(*engine, samples, n_samples, language, task, text_out,
                            language_out, segments);
    }
    if (ret == 0 && segments != nullptr) TrimSegments(*segments);
  } catch (...) {
    // Out of memory, or a mel worker thread that could not start.
    ret = -1;
  }
  if (ret != 0) {
    text_out.clear();
    language_out.clear();
    if (segments != nullptr) segments->clear();
  }
  return ret;
}
