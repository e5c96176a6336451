#include "tensor_values.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "npu/zornn_types.h"
#include "sim_model_file.h"

namespace npurt_sim {

namespace {

float Scale(const zornn_tensor_attr& attr) { return attr.scale == 0.0f ? 1.0f : attr.scale; }

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // the runtime's records are little-endian, as the host
  return v;
}

template <typename T>
void Store(T v, uint8_t* p) {
  std::memcpy(p, &v, sizeof v);
}

// round(x / scale + zp) clamped to [lo, hi], in double so that 64-bit types
// keep their range.
double Quantise(const zornn_tensor_attr& attr, float x, double lo, double hi) {
  double q = std::round(static_cast<double>(x) / Scale(attr) + attr.zp);
  if (std::isnan(q)) q = 0.0;
  return q < lo ? lo : (q > hi ? hi : q);
}

template <typename T>
void StoreQuantised(const zornn_tensor_attr& attr, float x, uint8_t* p) {
  // The largest 64-bit values have no double of their own: stay below them.
  double hi = static_cast<double>(std::numeric_limits<T>::max());
  if (sizeof(T) == 8) hi = std::nextafter(hi, 0.0);
  const double q = Quantise(attr, x, static_cast<double>(std::numeric_limits<T>::min()), hi);
  Store<T>(static_cast<T>(q), p);
}

float Dequantise(const zornn_tensor_attr& attr, double q) {
  return static_cast<float>((q - attr.zp) * Scale(attr));
}

}  // namespace

bool DecodeValues(const zornn_tensor_attr& attr, const void* bytes, size_t n,
                  std::vector<float>* out) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  out->resize(n);
  float* v = out->data();
  switch (attr.type) {
    case ZORNN_TENSOR_FLOAT32:
      for (size_t i = 0; i < n; ++i) v[i] = Load<float>(p + 4 * i);
      return true;
    case ZORNN_TENSOR_FLOAT16:
      for (size_t i = 0; i < n; ++i) v[i] = HalfToFloat(Load<uint16_t>(p + 2 * i));
      return true;
    case ZORNN_TENSOR_BFLOAT16:
      for (size_t i = 0; i < n; ++i) v[i] = Bfloat16ToFloat(Load<uint16_t>(p + 2 * i));
      return true;
    case ZORNN_TENSOR_INT8:
      for (size_t i = 0; i < n; ++i) v[i] = Dequantise(attr, Load<int8_t>(p + i));
      return true;
    case ZORNN_TENSOR_UINT8:
      for (size_t i = 0; i < n; ++i) v[i] = Dequantise(attr, p[i]);
      return true;
    case ZORNN_TENSOR_INT16:
      for (size_t i = 0; i < n; ++i) v[i] = Dequantise(attr, Load<int16_t>(p + 2 * i));
      return true;
    case ZORNN_TENSOR_UINT16:
      for (size_t i = 0; i < n; ++i) v[i] = Dequantise(attr, Load<uint16_t>(p + 2 * i));
      return true;
    case ZORNN_TENSOR_INT32:
      for (size_t i = 0; i < n; ++i) v[i] = Dequantise(attr, Load<int32_t>(p + 4 * i));
      return true;
    case ZORNN_TENSOR_UINT32:
      for (size_t i = 0; i < n; ++i) v[i] = Dequantise(attr, Load<uint32_t>(p + 4 * i));
      return true;
    case ZORNN_TENSOR_INT64:
      for (size_t i = 0; i < n; ++i) {
        v[i] = Dequantise(attr, static_cast<double>(Load<int64_t>(p + 8 * i)));
      }
      return true;
    case ZORNN_TENSOR_UINT64:
      for (size_t i = 0; i < n; ++i) {
        v[i] = Dequantise(attr, static_cast<double>(Load<uint64_t>(p + 8 * i)));
      }
      return true;
    case ZORNN_TENSOR_BOOL:
      for (size_t i = 0; i < n; ++i) v[i] = p[i] != 0 ? 1.0f : 0.0f;
      return true;
    case ZORNN_TENSOR_INT4:
      // Two a byte, the even element in the low nibble, signed.
      for (size_t i = 0; i < n; ++i) {
        const int nibble = (p[i / 2] >> (i % 2 ? 4 : 0)) & 0xF;
        v[i] = Dequantise(attr, nibble >= 8 ? nibble - 16 : nibble);
      }
      return true;
    default:
      out->clear();
      return false;
  }
}

namespace {

// Element i of p as x in the attribute's type; p holds at least i + 1 elements.
void StoreValue(const zornn_tensor_attr& attr, float x, size_t i, uint8_t* p) {
  switch (attr.type) {
    case ZORNN_TENSOR_FLOAT32: Store<float>(x, p + 4 * i); break;
    case ZORNN_TENSOR_FLOAT16: Store<uint16_t>(FloatToHalf(x), p + 2 * i); break;
    case ZORNN_TENSOR_BFLOAT16: Store<uint16_t>(FloatToBfloat16(x), p + 2 * i); break;
    case ZORNN_TENSOR_INT8: StoreQuantised<int8_t>(attr, x, p + i); break;
    case ZORNN_TENSOR_UINT8: StoreQuantised<uint8_t>(attr, x, p + i); break;
    case ZORNN_TENSOR_INT16: StoreQuantised<int16_t>(attr, x, p + 2 * i); break;
    case ZORNN_TENSOR_UINT16: StoreQuantised<uint16_t>(attr, x, p + 2 * i); break;
    case ZORNN_TENSOR_INT32: StoreQuantised<int32_t>(attr, x, p + 4 * i); break;
    case ZORNN_TENSOR_UINT32: StoreQuantised<uint32_t>(attr, x, p + 4 * i); break;
    case ZORNN_TENSOR_INT64: StoreQuantised<int64_t>(attr, x, p + 8 * i); break;
    case ZORNN_TENSOR_UINT64: StoreQuantised<uint64_t>(attr, x, p + 8 * i); break;
    case ZORNN_TENSOR_BOOL: p[i] = x != 0.0f; break;
    case ZORNN_TENSOR_INT4: {
      const int shift = i % 2 ? 4 : 0;
      const int q = static_cast<int>(Quantise(attr, x, -8.0, 7.0)) & 0xF;
      p[i / 2] = static_cast<uint8_t>((p[i / 2] & ~(0xF << shift)) | (q << shift));
      break;
    }
  }
}

}  // namespace

bool EncodeValues(const zornn_tensor_attr& attr, const std::vector<float>& values,
                  std::vector<uint8_t>* out) {
  if (attr.type >= kZornnTypeCount) return false;
  out->assign(TensorBytes(attr.type, values.size()), 0);
  for (size_t i = 0; i < values.size(); ++i) StoreValue(attr, values[i], i, out->data());
  return true;
}

bool UpdateValues(const zornn_tensor_attr& attr, const std::vector<float>& values,
                  const std::vector<size_t>& cells, std::vector<uint8_t>* typed,
                  std::vector<float>* through) {
  if (attr.type >= kZornnTypeCount) return false;
  std::vector<float> pair;
  for (const size_t i : cells) {
    StoreValue(attr, values[i], i, typed->data());
    if (through == nullptr) continue;
    // Decoded from the even element on, so that packed types start whole.
    const size_t even = i & ~size_t{1};
    DecodeValues(attr, typed->data() + TensorBytes(attr.type, even), i - even + 1, &pair);
    (*through)[i] = pair.back();
  }
  return true;
}

}  // namespace npurt_sim
