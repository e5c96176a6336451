#include "sensevoice/ctc_greedy_decoder.h"

#include <cmath>
#include <cstddef>

namespace {

// Index of the first maximum of row[0..n), as a left-to-right scan with a
// strict "greater than" finds it (a NaN in slot 0 wins, later NaNs never
// do). Done in two passes that vectorise: the maximum over 32 independent
// lanes (enough to keep the vector units busy rather than waiting on each
// other), then the first block of 32 holding it, found with branch-free
// compares, and the slot within it. A row of the full vocabulary stays in
// cache between the passes.
int FirstArgMax(const float* row, int n) {
  const float first = row[0];
  if (std::isnan(first)) return 0;
  constexpr int kLanes = 32;
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
  int i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    int hit = 0;
    for (int k = 0; k < kLanes; ++k) hit |= row[i + k] == best;
    if (hit) break;
  }
  for (; i < n; ++i) {
    if (row[i] == best) return i;
  }
  return 0;
}

}  // namespace

int CtcGreedyDecoder::BestToken(const float* scores, int vocab) {
  return vocab < 1 || scores == nullptr ? 0 : FirstArgMax(scores, vocab);
}

std::vector<int> CtcGreedyDecoder::Collapse(const int32_t* best, int frames) const {
  std::vector<int> ids;
  if (frames < 1 || best == nullptr) return ids;
  ids.reserve(static_cast<size_t>(frames));
  int prev = -1;
  for (int t = 0; t < frames; ++t) {
    if (best[t] != blank_id && best[t] != prev) ids.push_back(best[t]);
    prev = best[t];
  }
  return ids;
}

std::vector<int> CtcGreedyDecoder::Decode(const float* logits, int frames, int vocab) const {
  if (frames < 1 || vocab < 1 || logits == nullptr) return {};
  std::vector<int32_t> best(static_cast<size_t>(frames));
  for (int t = 0; t < frames; ++t) {
    best[t] = FirstArgMax(logits + static_cast<size_t>(t) * static_cast<size_t>(vocab), vocab);
  }
  return Collapse(best.data(), frames);
}
