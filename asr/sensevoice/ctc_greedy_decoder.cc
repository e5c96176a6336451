#include "sensevoice/ctc_greedy_decoder.h"

#include <cstddef>

std::vector<int> CtcGreedyDecoder::Decode(const float* logits, int frames, int vocab) const {
  std::vector<int> ids;
  if (frames < 1 || vocab < 1 || logits == nullptr) return ids;
  ids.reserve(static_cast<size_t>(frames));
  int prev = -1;
  for (int t = 0; t < frames; ++t) {
    const float* row = logits + static_cast<size_t>(t) * static_cast<size_t>(vocab);
    int best = 0;
    float best_score = row[0];
    // Strict comparison: on a tie the lowest index wins.
    for (int v = 1; v < vocab; ++v) {
      if (row[v] > best_score) {
        best_score = row[v];
        best = v;
      }
    }
    if (best != blank_id && best != prev) ids.push_back(best);
    prev = best;
  }
  return ids;
}
