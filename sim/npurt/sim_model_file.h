// The model description file the simulated NPU runtime loads in place of a
// compiled network: tensor attributes, a behaviour, and injected faults.
// The format is described in README.md.
#ifndef ZOR_SIM_NPURT_SIM_MODEL_FILE_H_
#define ZOR_SIM_NPURT_SIM_MODEL_FILE_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "npu/sense_voice_network.h"
#include "npu/zornn_api.h"
#include "npu/zornn_types.h"

namespace npurt_sim {

enum class Behaviour { kSenseVoice, kPrepared, kWhisperEncoder, kWhisperDecoder };

// Which calls of one function fail: none, all, exactly the listed call
// numbers (1-based), or every call from a number on.
struct CallFaults {
  bool all = false;
  std::vector<int64_t> exact;
  int64_t from = 0;  // 0: unused
  bool Hits(int64_t call_number) const;
};

enum class OutputFault { kNone, kNull, kEmpty, kMisaligned, kShort };

struct Tensor {
  zornn_tensor_attr attr{};
  std::string role;  // "speech", "language", "text_norm", "tokens", "features" or ""
};

struct ModelFile {
  Behaviour behaviour = Behaviour::kSenseVoice;
  std::vector<Tensor> inputs;
  Tensor output;
  bool have_output = false;
  uint32_t n_outputs = 1;
  int64_t vocab = 0;  // 0: the behaviour's default
  bool vocab_major = false;
  std::vector<int64_t> tokens;
  std::vector<int64_t> translate_tokens;
  // whisper_decoder in timestamp mode: one script per line, the Nth decoding
  // on the context answering the Nth (the last one repeating).
  std::vector<std::vector<int64_t>> timestamp_tokens;
  // Frames [first, last] each token of `tokens` wins (sensevoice); empty:
  // one frame per token, a blank between equal neighbours.
  std::vector<std::pair<int64_t, int64_t>> token_frames;
  int64_t language_token = 50259;
  bool never_end = false;
  bool vary_script = false;
  bool init_null_handle = false;
  std::map<std::string, CallFaults> faults;  // by function name
  OutputFault output_fault = OutputFault::kNone;
  CallFaults output_fault_calls;
  int64_t output_bytes = -1;  // -1: the full output
  std::map<uint32_t, CallFaults> query_faults;  // by query kind, calls counted per kind
  uint32_t output_extra_frames = kSenseVoiceQueryFrames;  // sensevoice: output frames beyond the speech frames
};

// Parses the file at path. On failure returns false with a one-line reason,
// and unreadable tells whether the file could not be opened at all.
bool LoadModelFile(const std::string& path, ModelFile* model, std::string* error,
                   bool* unreadable);

// Bytes of one element of the type for n elements (INT4 packs two a byte).
uint64_t TensorBytes(uint32_t type, uint64_t n_elems);

// n_elems when given, else the product of the extents (0 counts as 1).
uint64_t ElementCount(const zornn_tensor_attr& attr);

// Recomputes n_elems and size from dims and type, as the runtime reports
// them after a shape change.
void RecomputeSizes(zornn_tensor_attr* attr);

}  // namespace npurt_sim

#endif  // ZOR_SIM_NPURT_SIM_MODEL_FILE_H_
