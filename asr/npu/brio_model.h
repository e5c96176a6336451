// BrioModel: one compiled SenseVoice network loaded into the NPU runtime.
// Construction works out which input takes the speech features, which two
// take the language and text-normalisation ids, and the model's frame count;
// Forward quantises the features, runs the network and returns the logits as
// frames x vocabulary.
#ifndef ZOR_ASR_NPU_BRIO_MODEL_H_
#define ZOR_ASR_NPU_BRIO_MODEL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zornn_api.h"

// Logits row by row: frames rows of vocab scores. Empty on any failure.
struct ForwardResult {
  std::vector<float> logits;
  int32_t frames = 0;
  int32_t vocab = 0;
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

  // Sees each row of the logits once it is complete in the result. A
  // frame-major output is handed over row by row right after each row is
  // copied, while it is still in cache, so a decoder reading it costs no
  // second trip through memory.
  using RowVisitor = std::function<void(int32_t frame, const float* scores, int32_t vocab)>;

  // Forward into *result, reusing its storage. A recognizer that keeps one
  // result across calls copies the logits (tens of megabytes) into memory
  // that is already mapped, instead of faulting in a fresh buffer each time.
  // On failure *result is the empty result (its capacity is kept).
  void ForwardInto(const float* features, int frames, int dim, int language, int text_norm,
                   bool swap_int_inputs, ForwardResult* result, const RowVisitor& on_row = {});

  bool loaded = false;
  zornn_context context = nullptr;
  uint32_t n_inputs = 0;
  uint32_t speech_index = 0;
  uint32_t language_index = 1;
  uint32_t text_norm_index = 2;
  int32_t frames = 800;
};

#endif  // ZOR_ASR_NPU_BRIO_MODEL_H_
