#include "whisper/logits_argmax.h"

#include <cstdint>
#include <cstring>

#include "npu/zornn_types.h"
#include "whisper/mel_vector.h"

namespace {

using whisper_spectrum::kLanes;
using whisper_spectrum::lanes_f32;
using whisper_spectrum::lanes_max;

constexpr size_t kStep = 8 * kLanes;   // eight maxima in flight
constexpr size_t kBlock = 32 * kStep;  // 8 KiB: still in the first-level cache when searched

// The largest of values[0, count) and start (not NaN), count a multiple of
// kStep; NaNs never win. Named accumulators, so they stay in registers.
ZOR_LANES_INLINE float float_block_max(const float* values, size_t count, float start) {
  using whisper_spectrum::lanes_load;
  lanes_f32 t0 = whisper_spectrum::lanes_splat(start), t1 = t0, t2 = t0, t3 = t0, t4 = t0,
            t5 = t0, t6 = t0, t7 = t0;
  for (size_t i = 0; i < count; i += kStep) {
    const float* v = values + i;
    t0 = lanes_max(lanes_load(v), t0);
    t1 = lanes_max(lanes_load(v + kLanes), t1);
    t2 = lanes_max(lanes_load(v + 2 * kLanes), t2);
    t3 = lanes_max(lanes_load(v + 3 * kLanes), t3);
    t4 = lanes_max(lanes_load(v + 4 * kLanes), t4);
    t5 = lanes_max(lanes_load(v + 5 * kLanes), t5);
    t6 = lanes_max(lanes_load(v + 6 * kLanes), t6);
    t7 = lanes_max(lanes_load(v + 7 * kLanes), t7);
  }
  t0 = lanes_max(lanes_max(lanes_max(t0, t1), lanes_max(t2, t3)),
                 lanes_max(lanes_max(t4, t5), lanes_max(t6, t7)));
  float best = start;
  for (int l = 0; l < kLanes; ++l) best = t0[l] > best ? t0[l] : best;
  return best;
}

// Half-precision values compared as HalfOrderKey's keys, NaNs below every
// key.
constexpr int kHalfLanes = 2 * kLanes;
typedef int16_t lanes_i16 __attribute__((vector_size(kHalfLanes * sizeof(int16_t))));
constexpr int16_t kHalfNaNKey = INT16_MIN;
constexpr size_t kHalfStep = 4 * kHalfLanes;
constexpr size_t kHalfBlock = 16 * kHalfStep;  // 2 KiB

ZOR_LANES_INLINE int16_t half_key(uint16_t h) { return HalfOrderKey(h, kHalfNaNKey); }

ZOR_LANES_INLINE lanes_i16 half_keys(const uint16_t* p) {
  lanes_i16 h;
  std::memcpy(&h, p, sizeof(h));
  return HalfOrderKeys(h, kHalfNaNKey);
}

ZOR_LANES_INLINE lanes_i16 keys_max(lanes_i16 a, lanes_i16 b) { return a > b ? a : b; }

// The largest key of halves[0, count) and start, count a multiple of kHalfStep.
ZOR_LANES_INLINE int16_t half_block_max(const uint16_t* halves, size_t count, int16_t start) {
  lanes_i16 t0 = lanes_i16{} + start, t1 = t0, t2 = t0, t3 = t0;
  for (size_t i = 0; i < count; i += kHalfStep) {
    const uint16_t* h = halves + i;
    t0 = keys_max(half_keys(h), t0);
    t1 = keys_max(half_keys(h + kHalfLanes), t1);
    t2 = keys_max(half_keys(h + 2 * kHalfLanes), t2);
    t3 = keys_max(half_keys(h + 3 * kHalfLanes), t3);
  }
  t0 = keys_max(keys_max(t0, t1), keys_max(t2, t3));
  int16_t best = start;
  for (int l = 0; l < kHalfLanes; ++l) best = t0[l] > best ? t0[l] : best;
  return best;
}

// The first index holding the largest value is what the scan gives (it
// moves only to a strictly greater value, and +0 and -0 compare equal), so
// the row is read once for the maxima of its blocks (whole steps of step
// values, form.block_max(first, count, start)), and only the first block
// whose maximum beats every earlier one is searched again, while it is
// still in cache. form.key(value) orders the values; a NaN's key is never
// greater than another, and one at index 0 is never beaten.
template <size_t step, size_t block, typename T, typename Form>
ZOR_LANES_INLINE size_t first_largest(const T* values, size_t count, bool first_is_nan,
                                      Form form) {
  auto best = form.key(values[0]);
  if (first_is_nan) return 0;
  size_t from = 0, to = 1;  // the block to search for best
  const size_t whole = count / step * step;
  for (size_t i = 0; i < whole; i += block) {
    const size_t n = whole - i < block ? whole - i : block;
    const auto top = form.block_max(values + i, n, best);
    if (top > best) {
      best = top;
      from = i;
      to = i + n;
    }
  }
  for (size_t i = whole; i < count; ++i) {  // the tail after the last whole step
    if (form.key(values[i]) > best) {
      best = form.key(values[i]);
      from = i;
      to = i + 1;
    }
  }
  for (size_t i = from; i < to; ++i) {
    if (form.key(values[i]) == best) return i;
  }
  return 0;  // not reached: best is one of values[from, to)
}

// The two forms as the walk takes them: objects whose calls inline into
// each instruction-set version of the callers (a function pointer would
// call the default build).
struct Floats {
  ZOR_LANES_INLINE float key(float x) const { return x; }
  ZOR_LANES_INLINE float block_max(const float* v, size_t n, float start) const {
    return float_block_max(v, n, start);
  }
};
struct Halves {
  ZOR_LANES_INLINE int16_t key(uint16_t h) const { return half_key(h); }
  ZOR_LANES_INLINE int16_t block_max(const uint16_t* v, size_t n, int16_t start) const {
    return half_block_max(v, n, start);
  }
};

}  // namespace

ZOR_LANES_CLONES size_t logits_argmax(const float* values, size_t count) {
  return first_largest<kStep, kBlock>(values, count, !(values[0] == values[0]), Floats{});
}

ZOR_LANES_CLONES size_t logits_argmax_f16(const uint16_t* halves, size_t count) {
  return first_largest<kHalfStep, kHalfBlock>(halves, count, half_key(halves[0]) == kHalfNaNKey,
                                              Halves{});
}
