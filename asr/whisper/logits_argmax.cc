#include "whisper/logits_argmax.h"

#include "whisper/mel_vector.h"

namespace {

// The plain scan that defines the result.
size_t scan(const float* values, size_t count) {
  size_t best = 0;
  for (size_t i = 1; i < count; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return best;
}

}  // namespace

// Each lane keeps the largest value it has seen and where it first saw it
// (all start from index 0's value); one pass over the row, which streams
// from memory, then the lanes compare notes.
ZOR_LANES_CLONES size_t logits_argmax(const float* values, size_t count) {
  using namespace whisper_spectrum;
  const float first = values[0];
  if (count < 2 * kLanes || count > (size_t{1} << 30) || !(first == first)) {
    return scan(values, count);
  }
  lanes_f32 top = lanes_splat(first);
  lanes_i32 block{};  // where each lane's top was seen: block + lane, or index 0
  lanes_i32 seen_at_zero = lanes_i32{} + 1;
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const lanes_f32 v = lanes_load(values + i);
    const lanes_i32 greater = v > top;  // a NaN lane is never greater
    top = greater ? v : top;
    block = greater ? lanes_i32{} + static_cast<int32_t>(i) : block;
    seen_at_zero = greater ? lanes_i32{} : seen_at_zero;
  }
  float best = first;
  size_t best_at = 0;
  for (int l = 0; l < kLanes; ++l) {
    const size_t at = seen_at_zero[l] != 0 ? 0 : static_cast<size_t>(block[l]) + l;
    if (top[l] > best || (top[l] == best && at < best_at)) {
      best = top[l];
      best_at = at;
    }
  }
  for (; i < count; ++i) {
    if (values[i] > best) {
      best = values[i];
      best_at = i;
    }
  }
  return best_at;
}
