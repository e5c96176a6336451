// Tensor contents in their element type: what the simulated runtime reads
// from an input and hands out for an output, converted from and to float32
// as the board's runtime converts them (quantised types through scale and
// zero point).
#ifndef ZOR_SIM_NPURT_TENSOR_VALUES_H_
#define ZOR_SIM_NPURT_TENSOR_VALUES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "npu/zornn_api.h"

namespace npurt_sim {

// The first n elements of the type in bytes (at least TensorBytes(type, n)),
// as float32: integer types give (q - zp) x scale (a scale of 0 counts as 1).
// False for an unknown type.
bool DecodeValues(const zornn_tensor_attr& attr, const void* bytes, size_t n,
                  std::vector<float>* out);

// values in the element type: integer types store round(x / scale + zp),
// halves away from zero, clamped to the type's range. False for an unknown
// type.
bool EncodeValues(const zornn_tensor_attr& attr, const std::vector<float>& values,
                  std::vector<uint8_t>* out);

// Brings what EncodeValues (and DecodeValues of its result, into through
// unless null) made from earlier values up to date with values, which
// differ from them only at cells. False for an unknown type.
bool UpdateValues(const zornn_tensor_attr& attr, const std::vector<float>& values,
                  const std::vector<size_t>& cells, std::vector<uint8_t>* typed,
                  std::vector<float>* through);

}  // namespace npurt_sim

#endif  // ZOR_SIM_NPURT_TENSOR_VALUES_H_
