// BrioModel: one compiled SenseVoice network loaded into the NPU runtime.
// Construction works out which input takes the speech features, which two
// take the language and text-normalisation ids, and the model's frame count;
// Forward quantises the features, runs the network and returns the logits as
// frames x vocabulary; ForwardInPlace lets a caller read them where the
// runtime put them instead.
#ifndef ZOR_ASR_NPU_BRIO_MODEL_H_
#define ZOR_ASR_NPU_BRIO_MODEL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sense_voice_network.h"
#include "zornn_api.h"

// Logits row by row: frames rows of vocab scores. Empty on any failure.
struct ForwardResult {
  std::vector<float> logits;
  int32_t frames = 0;
  int32_t vocab = 0;
};

// The network's output where the runtime left it, in the runtime's layout:
// frame-major, data[t * vocab + v], or vocabulary-major, data[v * frames + t].
// Float32 logits are in data; half-precision ones, as the network wrote
// them (the runtime would convert every one), are in halves instead, their
// bits in the same layout. Valid only during the call that hands it over:
// the runtime reuses or frees its output buffer at the next run.
struct LogitsView {
  const float* data = nullptr;
  const uint16_t* halves = nullptr;
  int32_t frames = 0;
  int32_t vocab = 0;
  bool vocab_major = false;
};

class BrioModel {
 public:
  // Never throws for runtime failures: check loaded afterwards.
  explicit BrioModel(const std::string& model_path);
  ~BrioModel();
  BrioModel(const BrioModel&) = delete;
  BrioModel& operator=(const BrioModel&) = delete;

  // features: frames x dim floats, row by row.
  ForwardResult Forward(const float* features, int frames, int dim, int language,
                        int text_norm, bool swap_int_inputs);

  // Runs the network and hands its output to read in place, without copying
  // the logits (tens of megabytes): a reader that needs only a little of
  // them (the best token of each frame) makes one pass over the runtime's
  // buffer. Returns false, without calling read, on every failure for which
  // Forward returns the empty result; returns false too when read throws.
  using LogitsReader = std::function<void(const LogitsView&)>;
  bool ForwardInPlace(const float* features, int frames, int dim, int language, int text_norm,
                      bool swap_int_inputs, const LogitsReader& read);

  bool loaded = false;
  zornn_context context = nullptr;
  uint32_t n_inputs = 0;
  uint32_t speech_index = 0;
  uint32_t language_index = 1;
  uint32_t text_norm_index = 2;
  int32_t frames = kSenseVoiceDefaultFrames;
  // Entries of the token table the logits are read with, 0 when unknown;
  // it tells the vocabulary axis of the output from the frame axis.
  uint32_t vocab_size = 0;
};

#endif  // ZOR_ASR_NPU_BRIO_MODEL_H_
