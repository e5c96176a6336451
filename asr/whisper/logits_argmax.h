// Index of the largest logit, eight lanes at a time: the greedy decoder's
// choice among tens of thousands of vocabulary entries at every step.
#ifndef ZOR_ASR_WHISPER_LOGITS_ARGMAX_H_
#define ZOR_ASR_WHISPER_LOGITS_ARGMAX_H_

#include <cstddef>
#include <cstdint>

// The first index of the largest of count values (count >= 1): the index
// that a scan keeping the first strictly greater value gives, NaNs included
// (one never wins; a NaN at index 0 is never beaten).
size_t logits_argmax(const float* values, size_t count);

// The same for IEEE half-precision values (their bits): the index that
// logits_argmax gives for them converted to float.
size_t logits_argmax_f16(const uint16_t* halves, size_t count);

#endif  // ZOR_ASR_WHISPER_LOGITS_ARGMAX_H_
