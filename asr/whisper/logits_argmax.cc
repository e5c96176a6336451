#include "whisper/logits_argmax.h"

#include "whisper/mel_vector.h"

namespace {

constexpr size_t kStep = 8 * whisper_spectrum::kLanes;  // eight maxima in flight
constexpr size_t kBlock = 32 * kStep;  // 8 KiB: still in the first-level cache when searched

ZOR_LANES_INLINE whisper_spectrum::lanes_f32 lanes_max(whisper_spectrum::lanes_f32 a,
                                                      whisper_spectrum::lanes_f32 b) {
  return a > b ? a : b;  // b where a is NaN
}

// The largest of values[0, count) and start (not NaN), count a multiple of
// kStep; NaNs never win. Named accumulators, so they stay in registers.
ZOR_LANES_INLINE float block_max(const float* values, size_t count, float start) {
  using namespace whisper_spectrum;
  lanes_f32 t0 = lanes_splat(start), t1 = t0, t2 = t0, t3 = t0, t4 = t0, t5 = t0, t6 = t0, t7 = t0;
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

}  // namespace

// The first index holding the largest value is what the scan gives (it
// moves only to a strictly greater value, and +0 and -0 compare equal), so
// the row is read once for the maxima of its blocks, and only the first
// block whose maximum beats every earlier one is searched again, while it
// is still in cache.
ZOR_LANES_CLONES size_t logits_argmax(const float* values, size_t count) {
  float best = values[0];
  if (!(best == best)) return 0;  // a NaN at index 0 is never beaten
  size_t from = 0, to = 1;        // the block to search for best
  const size_t whole = count / kStep * kStep;
  for (size_t i = 0; i < whole; i += kBlock) {
    const size_t n = whole - i < kBlock ? whole - i : kBlock;
    const float top = block_max(values + i, n, best);
    if (top > best) {
      best = top;
      from = i;
      to = i + n;
    }
  }
  for (size_t i = whole; i < count; ++i) {  // the tail after the last whole step
    if (values[i] > best) {
      best = values[i];
      from = i;
      to = i + 1;
    }
  }
  for (size_t i = from; i < to; ++i) {
    if (values[i] == best) return i;
  }
  return 0;  // not reached: best is one of values[from, to)
}
