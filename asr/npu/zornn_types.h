// The NPU runtime's element types as this code base reads and writes them:
// their printed names (also the words of the simulated runtime's model
// files), the conversions between float32 and the 16-bit float types, and
// the order of half-precision values as integers.
#ifndef ZOR_ASR_NPU_ZORNN_TYPES_H_
#define ZOR_ASR_NPU_ZORNN_TYPES_H_

#include <cstdint>
#include <cstring>

#include "zornn_api.h"

// Indexed by zornn_tensor_type.
inline constexpr const char* kZornnTypeNames[] = {
    "FP32",   "FP16",  "INT8",   "UINT8", "INT16", "UINT16", "INT32",
    "UINT32", "INT64", "UINT64", "BOOL",  "INT4",  "BF16"};
inline constexpr uint32_t kZornnTypeCount = sizeof(kZornnTypeNames) / sizeof(kZornnTypeNames[0]);
static_assert(kZornnTypeCount == ZORNN_TENSOR_BFLOAT16 + 1,
              "one name for every zornn_tensor_type");

inline const char* ZornnTypeName(uint32_t type) {
  return type < kZornnTypeCount ? kZornnTypeNames[type] : "UNKNOWN";
}

inline uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline float BitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// IEEE binary16, rounding to nearest even; overflow gives infinity, NaN
// stays NaN, values below the smallest subnormal give signed zero.
inline uint16_t FloatToHalf(float f) {
  const uint32_t u = FloatBits(f);
  const uint32_t sign = (u >> 16) & 0x8000u;
  const uint32_t abs = u & 0x7FFFFFFFu;
  if (abs >= 0x7F800000u) {  // infinity or NaN
    return static_cast<uint16_t>(sign | 0x7C00u | (abs > 0x7F800000u ? 0x200u : 0u));
  }
  if (abs >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u);  // rounds past 65504
  if (abs < 0x38800000u) {  // below 2^-14: subnormal or zero
    // Scaling by 2^-24 through a float addition rounds to nearest even.
    const float scaled = BitsFloat(abs) + 0.5f;  // 0.5 = 2^-1: keeps 2^-24 steps in the mantissa
    return static_cast<uint16_t>(sign | (FloatBits(scaled) - 0x3F000000u));
  }
  const uint32_t mantissa_odd = (abs >> 13) & 1u;
  const uint32_t rounded = abs + 0xFFFu + mantissa_odd;
  return static_cast<uint16_t>(sign | ((rounded - 0x38000000u) >> 13));
}

inline float HalfToFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1Fu;
  const uint32_t mantissa = h & 0x3FFu;
  if (exponent == 0x1F) return BitsFloat(sign | 0x7F800000u | (mantissa << 13));
  if (exponent == 0) {  // zero or subnormal: mantissa x 2^-24
    const float magnitude = static_cast<float>(mantissa) * (1.0f / 16777216.0f);
    return sign ? -magnitude : magnitude;
  }
  return BitsFloat(sign | ((exponent + 112u) << 23) | (mantissa << 13));
}

// bfloat16: the upper half of a float32, rounding to nearest even.
inline uint16_t FloatToBfloat16(float f) {
  const uint32_t u = FloatBits(f);
  if ((u & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<uint16_t>((u >> 16) | 0x40u);  // NaN
  return static_cast<uint16_t>((u + 0x7FFFu + ((u >> 16) & 1u)) >> 16);
}

inline float Bfloat16ToFloat(uint16_t b) { return BitsFloat(static_cast<uint32_t>(b) << 16); }

// Half-precision values compared without conversion: as 16-bit integers in
// the order of their values, the magnitude, negated for a negative sign (so
// -0 and +0 are both 0, as they compare equal), and nan_key for a NaN (the
// caller says where NaNs stand: below or above every value).
inline constexpr int16_t kHalfInfinityBits = 0x7C00;

inline int16_t HalfOrderKey(uint16_t h, int16_t nan_key) {
  const int16_t magnitude = static_cast<int16_t>(h & 0x7FFF);
  if (magnitude > kHalfInfinityBits) return nan_key;
  return (h & 0x8000) != 0 ? static_cast<int16_t>(-magnitude) : magnitude;
}

// The same lane by lane, for a vector of int16_t (the compiler's vector
// extensions) holding the bits.
template <typename Lanes>
inline __attribute__((always_inline)) Lanes HalfOrderKeys(Lanes h, int16_t nan_key) {
  const Lanes sign = h >> 15;  // all ones where negative
  const Lanes magnitude = h & 0x7FFF;
  return magnitude > kHalfInfinityBits ? Lanes{} + nan_key : (magnitude ^ sign) - sign;
}

#endif  // ZOR_ASR_NPU_ZORNN_TYPES_H_
