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

// Each lane of four independent sets keeps the largest value it has seen
// and where it first saw it (all start from index 0's value): one pass over
// the row, which streams from memory, with four chains of comparisons in
// flight instead of one; then the lanes compare notes.
ZOR_LANES_CLONES size_t logits_argmax(const float* values, size_t count) {
  using namespace whisper_spectrum;
  constexpr int kSets = 4;
  const float first = values[0];
  if (count < kSets * kLanes || count > (size_t{1} << 30) || !(first == first)) {
    return scan(values, count);
  }
  lanes_f32 top[kSets];
  lanes_i32 block[kSets];     // where each lane's top was seen: block + lane,
  lanes_i32 at_zero[kSets];   // or index 0 where this is set
  for (int a = 0; a < kSets; ++a) {
    top[a] = lanes_splat(first);
    block[a] = lanes_i32{};
    at_zero[a] = lanes_i32{} + 1;
  }
  size_t i = 0;
  for (; i + kSets * kLanes <= count; i += kSets * kLanes) {
    for (int a = 0; a < kSets; ++a) {
      const lanes_f32 v = lanes_load(values + i + a * kLanes);
      const lanes_i32 greater = v > top[a];  // a NaN lane is never greater
      top[a] = greater ? v : top[a];
      block[a] = greater ? lanes_i32{} + static_cast<int32_t>(i + a * kLanes) : block[a];
      at_zero[a] = greater ? lanes_i32{} : at_zero[a];
    }
  }
  float best = first;
  size_t best_at = 0;
  for (int a = 0; a < kSets; ++a) {
    for (int l = 0; l < kLanes; ++l) {
      const size_t at = at_zero[a][l] != 0 ? 0 : static_cast<size_t>(block[a][l]) + l;
      if (top[a][l] > best || (top[a][l] == best && at < best_at)) {
        best = top[a][l];
        best_at = at;
      }
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
