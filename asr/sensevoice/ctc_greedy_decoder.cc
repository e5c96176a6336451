#include "sensevoice/ctc_greedy_decoder.h"

#include <cmath>
#include <cstddef>

namespace {

// Index of the first maximum of row[0..n), as a left-to-right scan with a
// strict "greater than" finds it (a NaN in slot 0 wins, later NaNs never
// do). Done in two passes that vectorise: the maximum over eight
// independent lanes, then the first slot holding it. A row of the full
// vocabulary stays in cache between the passes.
int FirstArgMax(const float* row, int n) {
  const float first = row[0];
  if (std::isnan(first)) return 0;
  constexpr int kLanes = 8;
  float lane[kLanes];
  for (float& m : lane) m = first;
  int v = 1;
  for (; v + kLanes <= n; v += kLanes) {
    for (int k = 0; k < kLanes; ++k) {
      const float x = row[v + k];
      lane[k] = x > lane[k] ? x : lane[k];
    }
  }
  float best = first;
  for (int k = 0; k < kLanes; ++k) best = lane[k] > best ? lane[k] : best;
  for (; v < n; ++v) best = row[v] > best ? row[v] : best;
  // best is never NaN here, and -0 == +0 as for the strict comparison.
  for (int i = 0; i < n; ++i) {
    if (row[i] == best) return i;
  }
  return 0;
}

}  // namespace

std::vector<int> CtcGreedyDecoder::Decode(const float* logits, int frames, int vocab) const {
  std::vector<int> ids;
  if (frames < 1 || vocab < 1 || logits == nullptr) return ids;
  ids.reserve(static_cast<size_t>(frames));
  int prev = -1;
  for (int t = 0; t < frames; ++t) {
    const int best = FirstArgMax(logits + static_cast<size_t>(t) * static_cast<size_t>(vocab), vocab);
    if (best != blank_id && best != prev) ids.push_back(best);
    prev = best;
  }
  return ids;
}
