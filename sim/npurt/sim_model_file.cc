// Parser for the simulated runtime's model description files: one directive
// per line, words separated by blanks, '#' starts a comment.
#include "sim_model_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace npurt_sim {

namespace {

const char* const kFunctions[] = {"zornn_init",        "zornn_query",
                                  "zornn_inputs_set",  "zornn_run",
                                  "zornn_outputs_get", "zornn_destroy",
                                  "zornn_set_softop_opt", "zornn_set_input_shapes"};

bool ParseInt(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool ParseFloat(const std::string& text, float* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  float v = std::strtof(text.c_str(), &end);
  if (*end != '\0') return false;
  *value = v;
  return true;
}

bool ParseType(const std::string& text, uint32_t* type) {
  for (uint32_t i = 0; i < kZornnTypeCount; ++i) {
    if (text == kZornnTypeNames[i]) {
      *type = i;
      return true;
    }
  }
  int64_t v = 0;
  if (!ParseInt(text, &v) || v < 0 || v > UINT32_MAX) return false;
  *type = static_cast<uint32_t>(v);
  return true;
}

// "all", "N" or "N+"; several words or lines for one function accumulate.
bool ParseCalls(const std::string& text, CallFaults* calls) {
  if (text == "all") {
    calls->all = true;
    return true;
  }
  int64_t n = 0;
  if (!text.empty() && text.back() == '+') {
    if (!ParseInt(text.substr(0, text.size() - 1), &n) || n < 1) return false;
    calls->from = calls->from == 0 ? n : std::min(calls->from, n);
    return true;
  }
  if (!ParseInt(text, &n) || n < 1) return false;
  calls->exact.push_back(n);
  return true;
}

// input/output line: key=value words. n_elems and size default to what the
// dims and type give; writing them as 0 reports "not given".
bool ParseTensor(std::istringstream& words, uint32_t index, Tensor* tensor, std::string* error) {
  zornn_tensor_attr& attr = tensor->attr;
  std::memset(&attr, 0, sizeof(attr));
  attr.index = index;
  attr.scale = 1.0f;
  bool have_n_elems = false, have_size = false;
  std::string word;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) {
      *error = "expected key=value, got '" + word + "'";
      return false;
    }
    const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    int64_t n = 0;
    if (key == "name") {
      if (value.size() >= sizeof(attr.name)) {
        *error = "name too long";
        return false;
      }
      std::memcpy(attr.name, value.data(), value.size());
    } else if (key == "dims") {
      attr.n_dims = 0;
      std::istringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) {
        if (attr.n_dims == ZORNN_MAX_DIMS || !ParseInt(item, &n) || n < 0 || n > UINT32_MAX) {
          *error = "bad dims '" + value + "'";
          return false;
        }
        attr.dims[attr.n_dims++] = static_cast<uint32_t>(n);
      }
    } else if (key == "n_dims") {
      // Overrides the count taken from dims, to report inconsistent records.
      if (!ParseInt(value, &n) || n < 0 || n > UINT32_MAX) return *error = "bad n_dims", false;
      attr.n_dims = static_cast<uint32_t>(n);
    } else if (key == "type") {
      if (!ParseType(value, &attr.type)) return *error = "bad type '" + value + "'", false;
    } else if (key == "zp") {
      if (!ParseInt(value, &n) || n < INT32_MIN || n > INT32_MAX) return *error = "bad zp", false;
      attr.zp = static_cast<int32_t>(n);
    } else if (key == "scale") {
      if (!ParseFloat(value, &attr.scale)) return *error = "bad scale", false;
    } else if (key == "n_elems") {
      if (!ParseInt(value, &n) || n < 0 || n > UINT32_MAX) return *error = "bad n_elems", false;
      attr.n_elems = static_cast<uint32_t>(n);
      have_n_elems = true;
    } else if (key == "size") {
      if (!ParseInt(value, &n) || n < 0 || n > UINT32_MAX) return *error = "bad size", false;
      attr.size = static_cast<uint32_t>(n);
      have_size = true;
    } else if (key == "role") {
      tensor->role = value;
    } else {
      *error = "unknown tensor key '" + key + "'";
      return false;
    }
  }
  const uint64_t count = ElementCount(attr);
  if (!have_n_elems) attr.n_elems = static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
  if (!have_size) {
    attr.size =
        static_cast<uint32_t>(std::min<uint64_t>(TensorBytes(attr.type, count), UINT32_MAX));
  }
  return true;
}

bool ParseTokenList(std::istringstream& words, std::vector<int64_t>* tokens) {
  tokens->clear();
  std::string word;
  int64_t n = 0;
  while (words >> word) {
    if (!ParseInt(word, &n)) return false;
    tokens->push_back(n);
  }
  return true;
}

// "N" or "N-M" per token: the frames it wins, in order, apart from each
// other, and with a blank between equal neighbours so collapsing keeps both.
bool ParseTokenFrames(std::istringstream& words, ModelFile* model, std::string* error) {
  model->token_frames.clear();
  std::string word;
  while (words >> word) {
    const size_t dash = word.find('-', 1);
    int64_t first = 0, last = 0;
    if (!ParseInt(word.substr(0, dash), &first) ||
        !ParseInt(dash == std::string::npos ? word.substr(0, dash) : word.substr(dash + 1),
                  &last) ||
        first < 0 || last < first) {
      return *error = "bad token_frames '" + word + "'", false;
    }
    model->token_frames.emplace_back(first, last);
  }
  const auto& frames = model->token_frames;
  for (size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].first <= frames[i - 1].second) {
      return *error = "token_frames must increase without overlap", false;
    }
  }
  return true;
}

bool ParseLine(const std::string& line, ModelFile* model, std::string* error) {
  std::istringstream words(line);
  std::string key, value;
  if (!(words >> key)) return true;
  int64_t n = 0;
  if (key == "behaviour") {
    words >> value;
    if (value == "sensevoice") model->behaviour = Behaviour::kSenseVoice;
    else if (value == "prepared") model->behaviour = Behaviour::kPrepared;
    else if (value == "whisper_encoder") model->behaviour = Behaviour::kWhisperEncoder;
    else if (value == "whisper_decoder") model->behaviour = Behaviour::kWhisperDecoder;
    else return *error = "unknown behaviour '" + value + "'", false;
  } else if (key == "input") {
    Tensor tensor;
    if (!ParseTensor(words, static_cast<uint32_t>(model->inputs.size()), &tensor, error)) {
      return false;
    }
    model->inputs.push_back(tensor);
  } else if (key == "output") {
    if (!ParseTensor(words, 0, &model->output, error)) return false;
    model->have_output = true;
  } else if (key == "n_outputs") {
    if (!(words >> value) || !ParseInt(value, &n) || n < 0 || n > UINT32_MAX) {
      return *error = "bad n_outputs", false;
    }
    model->n_outputs = static_cast<uint32_t>(n);
  } else if (key == "vocab") {
    if (!(words >> value) || !ParseInt(value, &n) || n < 1 || n > INT32_MAX) {
      return *error = "bad vocab", false;
    }
    model->vocab = n;
  } else if (key == "layout") {
    words >> value;
    if (value == "frame_major") model->vocab_major = false;
    else if (value == "vocab_major") model->vocab_major = true;
    else return *error = "bad layout '" + value + "'", false;
  } else if (key == "tokens") {
    if (!ParseTokenList(words, &model->tokens)) return *error = "bad tokens", false;
  } else if (key == "translate_tokens") {
    if (!ParseTokenList(words, &model->translate_tokens)) {
      return *error = "bad translate_tokens", false;
    }
  } else if (key == "timestamp_tokens") {
    model->timestamp_tokens.emplace_back();
    if (!ParseTokenList(words, &model->timestamp_tokens.back())) {
      return *error = "bad timestamp_tokens", false;
    }
  } else if (key == "token_frames") {
    if (!ParseTokenFrames(words, model, error)) return false;
  } else if (key == "language_token") {
    if (!(words >> value) || !ParseInt(value, &n)) return *error = "bad language_token", false;
    model->language_token = n;
  } else if (key == "never_end") {
    if (!(words >> value) || !ParseInt(value, &n)) return *error = "bad never_end", false;
    model->never_end = n != 0;
  } else if (key == "vary_script") {
    if (!(words >> value) || !ParseInt(value, &n)) return *error = "bad vary_script", false;
    model->vary_script = n != 0;
  } else if (key == "init_null_handle") {
    if (!(words >> value) || !ParseInt(value, &n)) return *error = "bad init_null_handle", false;
    model->init_null_handle = n != 0;
  } else if (key == "fail") {
    std::string function;
    words >> function >> value;
    if (std::find_if(std::begin(kFunctions), std::end(kFunctions), [&](const char* f) {
          return function == f;
        }) == std::end(kFunctions)) {
      return *error = "unknown function '" + function + "'", false;
    }
    // One or more call numbers: "fail zornn_run 7 50 400+".
    CallFaults& calls = model->faults[function];
    do {
      if (!ParseCalls(value, &calls)) return *error = "bad call list", false;
    } while (words >> value);
  } else if (key == "output_fault") {
    words >> value;
    if (value == "null") model->output_fault = OutputFault::kNull;
    else if (value == "empty") model->output_fault = OutputFault::kEmpty;
    else if (value == "misaligned") model->output_fault = OutputFault::kMisaligned;
    else if (value == "short") model->output_fault = OutputFault::kShort;
    else return *error = "bad output_fault '" + value + "'", false;
    std::string calls;
    if (!(words >> calls)) calls = "all";
    do {
      if (!ParseCalls(calls, &model->output_fault_calls)) return *error = "bad call list", false;
    } while (words >> calls);
  } else if (key == "query_fault") {
    // "query_fault OUTPUT_ATTR 2+": calls of one query kind fail.
    words >> value;
    uint32_t kind = 0;
    if (value == "IN_OUT_NUM") kind = ZORNN_QUERY_IN_OUT_NUM;
    else if (value == "INPUT_ATTR") kind = ZORNN_QUERY_INPUT_ATTR;
    else if (value == "OUTPUT_ATTR") kind = ZORNN_QUERY_OUTPUT_ATTR;
    else return *error = "bad query kind '" + value + "'", false;
    CallFaults& calls = model->query_faults[kind];
    std::string call;
    if (!(words >> call)) call = "all";
    do {
      if (!ParseCalls(call, &calls)) return *error = "bad call list", false;
    } while (words >> call);
  } else if (key == "output_extra_frames") {
    if (!(words >> value) || !ParseInt(value, &n) || n < 0 || n > 1000000) {
      return *error = "bad output_extra_frames", false;
    }
    model->output_extra_frames = static_cast<uint32_t>(n);
  } else if (key == "output_bytes") {
    if (!(words >> value) || !ParseInt(value, &n) || n < 0) {
      return *error = "bad output_bytes", false;
    }
    model->output_bytes = n;
  } else {
    *error = "unknown key '" + key + "'";
    return false;
  }
  return true;
}

}  // namespace

bool CallFaults::Hits(int64_t call_number) const {
  if (all || (from != 0 && call_number >= from)) return true;
  return std::find(exact.begin(), exact.end(), call_number) != exact.end();
}

uint64_t TensorBytes(uint32_t type, uint64_t n) {
  switch (type) {
    case ZORNN_TENSOR_INT8:
    case ZORNN_TENSOR_UINT8:
    case ZORNN_TENSOR_BOOL:
      return n;
    case ZORNN_TENSOR_FLOAT16:
    case ZORNN_TENSOR_INT16:
    case ZORNN_TENSOR_UINT16:
    case ZORNN_TENSOR_BFLOAT16:
      return n * 2;
    case ZORNN_TENSOR_INT64:
    case ZORNN_TENSOR_UINT64:
      return n * 8;
    case ZORNN_TENSOR_INT4:
      return (n + 1) / 2;
    default:
      return n * 4;
  }
}

uint64_t ElementCount(const zornn_tensor_attr& attr) {
  if (attr.n_elems != 0) return attr.n_elems;
  uint64_t count = 1;
  for (uint32_t i = 0; i < std::min<uint32_t>(attr.n_dims, ZORNN_MAX_DIMS); ++i) {
    count *= attr.dims[i] == 0 ? 1 : attr.dims[i];
  }
  return count;
}

void RecomputeSizes(zornn_tensor_attr* attr) {
  attr->n_elems = 0;
  const uint64_t count = ElementCount(*attr);
  attr->n_elems = static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
  attr->size =
      static_cast<uint32_t>(std::min<uint64_t>(TensorBytes(attr->type, count), UINT32_MAX));
}

bool LoadModelFile(const std::string& path, ModelFile* model, std::string* error,
                   bool* unreadable) {
  std::ifstream in(path);
  *unreadable = !in;
  if (!in) {
    *error = "cannot open '" + path + "'";
    return false;
  }
  *model = ModelFile();
  std::string line;
  int line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    if (!ParseLine(line, model, error)) {
      *error = path + ":" + std::to_string(line_number) + ": " + *error;
      return false;
    }
  }
  if (model->vocab == 0) {
    model->vocab = model->behaviour == Behaviour::kWhisperDecoder ? 51866 : kSenseVoiceDefaultVocab;
  }
  const auto& frames = model->token_frames;
  if (!frames.empty() && frames.size() != model->tokens.size()) {
    *error = path + ": token_frames gives " + std::to_string(frames.size()) +
             " runs for " + std::to_string(model->tokens.size()) + " tokens";
    return false;
  }
  for (size_t i = 1; i < frames.size(); ++i) {
    if (model->tokens[i] == model->tokens[i - 1] && frames[i].first == frames[i - 1].second + 1) {
      *error = path + ": equal tokens on touching frames would collapse into one";
      return false;
    }
  }
  return true;
}

}  // namespace npurt_sim
