// Greedy CTC decoding: the best token of every frame, with repeats merged
// and blanks dropped.
#ifndef ZOR_ASR_SENSEVOICE_CTC_GREEDY_DECODER_H_
#define ZOR_ASR_SENSEVOICE_CTC_GREEDY_DECODER_H_

#include <cstdint>
#include <vector>

class CtcGreedyDecoder {
 public:
  // logits: frames rows of vocab scores. Returns the token ids; empty for
  // no frames, no vocabulary or no logits. A token repeated on consecutive
  // frames counts once; a blank between two equal tokens keeps both.
  std::vector<int> Decode(const float* logits, int frames, int vocab) const;

  // The two halves of Decode, for a caller that sees the rows one at a time
  // (BrioModel::ForwardInto's row visitor): the best token of one row (the
  // first maximum), then the merge of the per-frame best tokens.
  static int BestToken(const float* scores, int vocab);
  std::vector<int> Collapse(const int32_t* best, int frames) const;

  int32_t blank_id = 0;
};

#endif  // ZOR_ASR_SENSEVOICE_CTC_GREEDY_DECODER_H_
