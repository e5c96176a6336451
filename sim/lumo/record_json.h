// JSON descriptions of the records the runtime receives, field by field,
// for the call log. Texts are logged exactly (see json_writer.h), pointers
// that are not texts as "0x..." strings, and every reserved area as a flag
// telling whether any of its bytes is non-zero (callers zero-fill records).
#ifndef ZOR_SIM_LUMO_RECORD_JSON_H_
#define ZOR_SIM_LUMO_RECORD_JSON_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "lumo.h"

namespace lumo_sim {

std::string InitConfigJson(const ZOR_LLMInitConfig& config);
std::string RunConfigJson(const ZOR_LLMRunConfig& config);
// Images of type BUFFER are hashed (FNV-1a 64 over width*height*3 bytes)
// and, when ZOR_LUMO_SIM_DUMP_DIR is set, written there as raw RGB files.
std::string InputJson(const ZOR_LLMInput& input);

// The text a run is matched on: the prompt or messages text of any input
// that carries one (null for token input).
const char* InputText(const ZOR_LLMInput& input);

uint64_t Fnv1a64(const void* data, size_t size);

}  // namespace lumo_sim

#endif  // ZOR_SIM_LUMO_RECORD_JSON_H_
