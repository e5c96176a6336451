// Greedy CTC decoding: the best token of every frame, with repeats merged
// and blanks dropped.
#ifndef ZOR_ASR_SENSEVOICE_CTC_GREEDY_DECODER_H_
#define ZOR_ASR_SENSEVOICE_CTC_GREEDY_DECODER_H_

#include <cstdint>
#include <vector>

// A token of the collapsed path and the run of frames it won: first_frame
// to last_frame, both included.
struct CtcToken {
  int id;
  int first_frame;
  int last_frame;
};

class CtcGreedyDecoder {
 public:
  // logits: frames rows of vocab scores. Returns the token ids; empty for
  // no frames, no vocabulary or no logits. A token repeated on consecutive
  // frames counts once; a blank between two equal tokens keeps both.
  std::vector<int> Decode(const float* logits, int frames, int vocab) const;

  // The two halves of Decode, for a caller that reads the logits where they
  // lie (BrioModel::ForwardInPlace): the best token of one row (the first
  // maximum), then the merge of the per-frame best tokens.
  static int BestToken(const float* scores, int vocab);
  std::vector<int> Collapse(const int32_t* best, int frames) const;
  // Collapse that also tells where each token stands: the same tokens, each
  // with the frames of its run.
  std::vector<CtcToken> CollapseTimed(const int32_t* best, int frames) const;

  // best[t] = the best token of frame t, as BestToken chooses it (bit for
  // bit, NaNs included), for the first n of the frames x vocab logits laid
  // out frame-major (row t holds frame t's scores) or, with vocab_major,
  // vocabulary-major (row v holds token v's score on every frame). Either
  // layout is read in one pass, without a copy; nothing for n < 1.
  static void BestTokens(const float* logits, int frames, int vocab, bool vocab_major, int n,
                         int32_t* best);
  // The same for IEEE half-precision logits (their bits): the tokens that
  // the float form chooses for them converted to float.
  static void BestTokens(const uint16_t* halves, int frames, int vocab, bool vocab_major, int n,
                         int32_t* best);

  int32_t blank_id = 0;
};

#endif  // ZOR_ASR_SENSEVOICE_CTC_GREEDY_DECODER_H_
