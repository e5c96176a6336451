// Writes model description files for the simulated NPU runtime from C++
// tests (the format is in README.md). Header-only; one builder per file:
//
//   NpurtModel m("sensevoice");
//   m.Input(NpurtTensor("speech").Dims({1, 800, 560}).Role("speech"));
//   m.Line("tokens 24884 25004 25016 25017 100");
//   m.WriteTo(path);
#ifndef ZOR_SIM_NPURT_NPURT_MODEL_WRITER_H_
#define ZOR_SIM_NPURT_NPURT_MODEL_WRITER_H_

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "npu/sense_voice_network.h"

class NpurtTensor {
 public:
  explicit NpurtTensor(std::string name = "") {
    if (!name.empty()) words_ += " name=" + name;
  }
  NpurtTensor& Dims(std::initializer_list<uint32_t> dims) {
    words_ += " dims=";
    bool first = true;
    for (uint32_t d : dims) {
      words_ += (first ? "" : ",") + std::to_string(d);
      first = false;
    }
    return *this;
  }
  NpurtTensor& Type(const std::string& type) { return Set("type", type); }
  NpurtTensor& Zp(int32_t zp) { return Set("zp", std::to_string(zp)); }
  NpurtTensor& Scale(float scale) {
    std::ostringstream s;
    s.precision(9);
    s << scale;
    return Set("scale", s.str());
  }
  NpurtTensor& NElems(uint32_t n) { return Set("n_elems", std::to_string(n)); }
  NpurtTensor& Size(uint32_t n) { return Set("size", std::to_string(n)); }
  NpurtTensor& NDims(uint32_t n) { return Set("n_dims", std::to_string(n)); }
  NpurtTensor& Role(const std::string& role) { return Set("role", role); }
  const std::string& Words() const { return words_; }

 private:
  NpurtTensor& Set(const char* key, const std::string& value) {
    words_ += std::string(" ") + key + "=" + value;
    return *this;
  }
  std::string words_;
};

class NpurtModel {
 public:
  explicit NpurtModel(const std::string& behaviour) { Line("behaviour " + behaviour); }
  NpurtModel& Input(const NpurtTensor& t) { return Line("input" + t.Words()); }
  NpurtModel& Output(const NpurtTensor& t) { return Line("output" + t.Words()); }
  NpurtModel& Tokens(const std::vector<int64_t>& tokens, const char* key = "tokens") {
    std::string line = key;
    for (int64_t t : tokens) line += " " + std::to_string(t);
    return Line(line);
  }
  // Any directive as it stands, e.g. "fail zornn_run 2" or "layout vocab_major".
  NpurtModel& Line(const std::string& line) {
    text_ += line + "\n";
    return *this;
  }
  bool WriteTo(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    out << text_;
    return static_cast<bool>(out);
  }
  const std::string& Text() const { return text_; }

  // A SenseVoice network: speech [1, frames, 560] of the given type, then two
  // int32 id inputs named input_1 (language) and input_2 (text norm).
  static NpurtModel SenseVoice(uint32_t frames = kSenseVoiceDefaultFrames, uint32_t vocab = 1024,
                               const std::string& speech_type = "FP32") {
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("speech")
                .Dims({1, frames, static_cast<uint32_t>(kSenseVoiceFeatureDim)})
                .Type(speech_type)
                .Role("speech"));
    m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32").Role("language"));
    m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32").Role("text_norm"));
    m.Line("vocab " + std::to_string(vocab));
    return m;
  }

 private:
  std::string text_;
};

#endif  // ZOR_SIM_NPURT_NPURT_MODEL_WRITER_H_
