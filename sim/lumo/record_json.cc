#include "record_json.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "json_writer.h"

namespace lumo_sim {
namespace {

// Pixel buffers past this size are not read: no image the module sends is
// that large, and a wrong width or height must not make us scan memory.
constexpr uint64_t kMaxHashedBytes = uint64_t{1} << 30;
// Token inputs are listed in full up to this count.
constexpr int32_t kMaxLoggedTokens = 1 << 16;

std::atomic<uint64_t> g_dump_counter{0};

bool AnyNonZero(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return true;
  }
  return false;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string DumpImage(const void* data, size_t size) {
  const char* dir = std::getenv("ZOR_LUMO_SIM_DUMP_DIR");
  if (dir == nullptr || *dir == '\0') return std::string();
  const uint64_t id = ++g_dump_counter;
  const std::string path = std::string(dir) + "/image-" + std::to_string(static_cast<long>(getpid())) +
                           "-" + std::to_string(id) + ".rgb";
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file || std::fwrite(data, 1, size, file.get()) != size) return std::string();
  return path;
}

std::string ImageJson(const ZOR_LLMImageInput& image) {
  JsonObject o;
  o.Uint("type", image.type);
  o.Pointer("data", image.data);
  o.Uint("width", image.width);
  o.Uint("height", image.height);
  o.Uint("timestamp", image.timestamp);
  if (image.data == nullptr) return o.Finish();
  if (image.type == ZOR_LLM_IMAGE_TYPE_BUFFER) {
    const uint64_t size = uint64_t{image.width} * image.height * 3;
    o.Uint("size", size);
    if (size > kMaxHashedBytes) {
      o.Bool("too_large", true);
      return o.Finish();
    }
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016" PRIx64, Fnv1a64(image.data, size));
    o.Text("fnv1a64", hash);
    const size_t head = size < 12 ? static_cast<size_t>(size) : 12;
    o.Text("head_hex", HexOf(image.data, head).c_str());
    const std::string dumped = DumpImage(image.data, static_cast<size_t>(size));
    if (!dumped.empty()) o.Text("dump", dumped.c_str());
  } else if (image.type == ZOR_LLM_IMAGE_TYPE_FILE || image.type == ZOR_LLM_IMAGE_TYPE_BASE64) {
    o.Text("text", static_cast<const char*>(image.data));
  }
  return o.Finish();
}

std::string MultimodalJson(const ZOR_LLMMultimodalInput& m) {
  JsonObject o;
  o.Text("prompt", m.prompt);
  o.Pointer("img_inputs", m.img_inputs);
  o.Uint("img_count", m.img_count);
  o.Text("img_start", m.img_start);
  o.Text("img_end", m.img_end);
  o.Text("img_content", m.img_content);
  o.Uint("sample_rate_num", m.sample_rate_num);
  o.Uint("sample_rate_den", m.sample_rate_den);
  JsonArray images;
  if (m.img_inputs != nullptr) {
    for (uint32_t i = 0; i < m.img_count; ++i) images.Raw(ImageJson(m.img_inputs[i]));
  }
  o.Raw("images", images.Finish());
  return o.Finish();
}

}  // namespace

uint64_t Fnv1a64(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < size; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string InitConfigJson(const ZOR_LLMInitConfig& c) {
  const ZOR_LLMInitExtend& x = c.init_extend;
  JsonObject ext;
  ext.Text("vision_model_path", x.vision_model_path);
  ext.Text("sampler_params_json", x.sampler_params_json);
  ext.Text("model_name_override", x.model_name_override);
  ext.Text("custom_jinja_template", x.custom_jinja_template);
  ext.Pointer("mmproj_input", x.mmproj_input);
  ext.Text("mmproj_config", x.mmproj_config);
  ext.Bool("reserved_nonzero", AnyNonZero(x.reserved, sizeof x.reserved));

  JsonObject o;
  o.Text("model_path", c.model_path);
  o.Uint("sampling_mode", c.sampling_mode);
  o.Int("top_k", c.top_k);
  o.Number("top_p", c.top_p);
  o.Number("temperature", c.temperature);
  o.Number("repeat_penalty", c.repeat_penalty);
  o.Raw("init_extend", ext.Finish());
  return o.Finish();
}

std::string RunConfigJson(const ZOR_LLMRunConfig& c) {
  const ZOR_LLMRunExtend& x = c.run_extend;
  JsonObject ext;
  ext.Uint("sampling_config_valid", x.sampling_config_valid);
  ext.Uint("sampling_mode", x.sampling_mode);
  ext.Int("top_k", x.top_k);
  ext.Number("top_p", x.top_p);
  ext.Number("temperature", x.temperature);
  ext.Number("repeat_penalty", x.repeat_penalty);
  ext.Text("sampler_params_json", x.sampler_params_json);
  ext.Int("disable_chat_template", x.disable_chat_template);
  ext.Text("extra_template_params", x.extra_template_params);
  ext.Text("tools_schemas", x.tools_schemas);
  ext.Bool("reserved_nonzero", AnyNonZero(x.reserved, sizeof x.reserved));

  JsonObject o;
  o.Uint("run_mode", c.run_mode);
  o.Int("retain_history", c.retain_history);
  o.Int("enable_think", c.enable_think);
  o.Raw("run_extend", ext.Finish());
  return o.Finish();
}

const char* InputText(const ZOR_LLMInput& input) {
  switch (input.input_type) {
    case ZOR_LLM_INPUT_PROMPT:
    case ZOR_LLM_INPUT_MESSAGES:
    case ZOR_LLM_INPUT_MULTIMODAL:
      // prompt_input and multimodal_input.prompt share the first slot.
      return input.prompt_input;
    default:
      return nullptr;
  }
}

std::string InputJson(const ZOR_LLMInput& input) {
  JsonObject o;
  o.Uint("input_type", input.input_type);
  o.Text("role", input.role);
  switch (input.input_type) {
    case ZOR_LLM_INPUT_PROMPT:
    case ZOR_LLM_INPUT_MESSAGES:
    case ZOR_LLM_INPUT_MULTIMODAL: {
      o.Text("prompt_input", input.prompt_input);
      // The union's first slot is the text in both members; anything set
      // after it means the multimodal member was filled (callers zero-fill).
      const auto* rest = reinterpret_cast<const unsigned char*>(&input.multimodal_input) +
                         sizeof(const char*);
      const bool multimodal = input.input_type == ZOR_LLM_INPUT_MULTIMODAL ||
                              AnyNonZero(rest, sizeof(ZOR_LLMMultimodalInput) - sizeof(const char*));
      if (multimodal) {
        o.Raw("multimodal_input", MultimodalJson(input.multimodal_input));
      } else {
        o.Null("multimodal_input");
      }
      break;
    }
    case ZOR_LLM_INPUT_TOKEN: {
      const ZOR_LLMTokenInput& t = input.token_input;
      JsonObject token;
      token.Pointer("input_ids", t.input_ids);
      token.Int("n_tokens", t.n_tokens);
      if (t.input_ids != nullptr && t.n_tokens > 0 && t.n_tokens <= kMaxLoggedTokens) {
        JsonArray ids;
        for (int32_t i = 0; i < t.n_tokens; ++i) ids.Int(t.input_ids[i]);
        token.Raw("ids", ids.Finish());
      }
      o.Raw("token_input", token.Finish());
      break;
    }
    default:
      break;
  }
  return o.Finish();
}

}  // namespace lumo_sim
