#include "sensevoice/ctc_greedy_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "npu/zornn_types.h"

namespace {

// Four-float vectors, the native width of both SSE and NEON, written once
// with the compiler's vector extensions.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
// Half-precision logits are compared as 16-bit integer keys, eight to the
// same 16 bytes, with their token ids in eight 32-bit lanes.
typedef int16_t K8 __attribute__((vector_size(16)));
typedef int32_t I8 __attribute__((vector_size(32)));

// Whether any lane of a 16-byte comparison result is set: its two halves
// as words, whatever the lane width.
template <typename Mask>
inline bool AnyLane(Mask mask) {
  static_assert(sizeof(Mask) == 16, "a 16-byte vector");
  uint64_t words[2];
  std::memcpy(words, &mask, sizeof(words));
  return (words[0] | words[1]) != 0;
}

// The running maximum of a left-to-right scan with strict "greater than":
// a NaN x never enters it, and a NaN maximum is never left. One instruction
// on either instruction set, for floats and for keys.
template <typename V>
inline V Raise(V x, V top) {
  return x > top ? x : top;
}

// What the scans below read, as floats: the scores themselves.
struct FloatScores {
  using Element = float;
  using Score = float;
  using Vec = F4;
  using Ids = I4;
  static constexpr int kWidth = 4;
  static Score First(float x) { return x; }  // a NaN there is never raised
  static Score Key(float x) { return x; }
  static Vec Load(const float* p) {
    Vec x;
    std::memcpy(&x, p, sizeof(x));  // unaligned
    return x;
  }
  static Vec LoadFirst(const float* p) { return Load(p); }
  static Ids Widen(I4 mask) { return mask; }
};

// As half-precision bits: HalfOrderKey's keys, a NaN below every key, or
// above every key in slot 0, where a float NaN is never raised.
struct HalfScores {
  using Element = uint16_t;
  using Score = int16_t;
  using Vec = K8;
  using Ids = I8;
  static constexpr int kWidth = 8;
  static Score Key(uint16_t h) { return HalfOrderKey(h, INT16_MIN); }
  static Score First(uint16_t h) { return HalfOrderKey(h, INT16_MAX); }
  static Vec Keys(const uint16_t* p, int16_t nan_key) {
    K8 h;
    std::memcpy(&h, p, sizeof(h));
    return HalfOrderKeys(h, nan_key);
  }
  static Vec Load(const uint16_t* p) { return Keys(p, INT16_MIN); }
  static Vec LoadFirst(const uint16_t* p) { return Keys(p, INT16_MAX); }
  static Ids Widen(K8 mask) { return __builtin_convertvector(mask, I8); }
};

// The first maximum of each of kRows rows of n scores, stride elements
// apart, as a left-to-right scan with strict "greater than" finds it: a NaN
// in slot 0 wins, later NaNs never do, and of equal scores (-0 and +0 too)
// the first wins. Each block of 32 scores is reduced onto the row's running
// maximum, and only the last block that raised it is remembered: the answer
// is that block's first slot holding the final maximum, since every earlier
// score is below it. The rows are read side by side, kRows streams through
// memory at once, which the memory system serves faster than one.
template <typename S, int kRows>
void RowsFirstArgMax(const typename S::Element* rows, size_t stride, int n, int32_t* best) {
  using Vec = typename S::Vec;
  constexpr int kBlock = 32;
  constexpr int kWidth = S::kWidth;
  typename S::Score top[kRows];
  Vec top_lanes[kRows];
  int at[kRows];
  bool in_block[kRows];  // at is a block to search rather than the answer
  for (int r = 0; r < kRows; ++r) {
    top[r] = S::First(rows[r * stride]);
    top_lanes[r] = Vec{} + top[r];
    at[r] = 0;
    in_block[r] = false;
  }
  int i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (int r = 0; r < kRows; ++r) {
      const typename S::Element* p = rows + r * stride + i;
      Vec a = top_lanes[r], b = top_lanes[r];
      for (int k = 0; k < kBlock; k += 2 * kWidth) {
        a = Raise(S::Load(p + k), a);
        b = Raise(S::Load(p + k + kWidth), b);
      }
      a = Raise(a, b);
      if (AnyLane(a > top_lanes[r])) {
        for (int lane = 0; lane < kWidth; ++lane) top[r] = a[lane] > top[r] ? a[lane] : top[r];
        top_lanes[r] = Vec{} + top[r];
        at[r] = i;
        in_block[r] = true;
      }
    }
  }
  for (int r = 0; r < kRows; ++r) {
    const typename S::Element* row = rows + r * stride;
    for (int k = i; k < n; ++k) {
      if (S::Key(row[k]) > top[r]) {
        top[r] = S::Key(row[k]);
        at[r] = k;
        in_block[r] = false;
      }
    }
    if (in_block[r]) {
      int k = at[r];
      while (k < at[r] + kBlock - 1 && !(S::Key(row[k]) == top[r])) ++k;
      at[r] = k;
    }
    best[r] = at[r];
  }
}

// Rows of vocabulary-major logits taken together: a group is reduced onto
// the running maxima before any exact scan.
constexpr int kGroupRows = 8;

// Whether a group of kGroupRows rows (stride elements apart) raises the
// running maximum of any of kVectors adjacent vectors of columns.
template <typename S, int kVectors>
bool GroupRaises(const typename S::Element* group, size_t stride, const typename S::Vec* top) {
  typename S::Vec a[kVectors];
  for (int q = 0; q < kVectors; ++q) a[q] = top[q];
  for (int r = 0; r < kGroupRows; ++r) {
    for (int q = 0; q < kVectors; ++q) {
      a[q] = Raise(S::Load(group + r * stride + q * S::kWidth), a[q]);
    }
  }
  auto raised = a[0] > top[0];
  for (int q = 1; q < kVectors; ++q) raised |= a[q] > top[q];
  return AnyLane(raised);
}

// The first maximum of every column t < n of a [vocab][frames] matrix, each
// column being one frame's scores; the same choice as RowsFirstArgMax on
// that frame's row. A block of columns keeps a running maximum and its row
// per column. Each group of rows is first only reduced onto the running
// maxima, a cache line of each row at a time; the exact scan, row by row
// with strict "greater than", runs only where the group raises a maximum,
// which real logits do for a handful of groups per column. The rows stream
// through once, a block-wide piece at a time, while the block's state
// (8 KiB) stays in the first-level cache; the rows two groups ahead are
// requested meanwhile, which measured a third faster than leaving the eight
// interleaved streams to the hardware. The columns past the last whole
// vector are scanned one by one in the same pass.
template <typename S>
void ColumnsFirstArgMax(const typename S::Element* logits, int vocab, int frames, int n,
                        int32_t* best) {
  using Element = typename S::Element;
  using Vec = typename S::Vec;
  using Ids = typename S::Ids;
  constexpr int kWidth = S::kWidth;
  constexpr int kBlock = 1024;             // columns, a multiple of kWidth
  constexpr int kLine = 64 / sizeof(Vec);  // vectors per cache line
  constexpr int kAhead = 2 * kGroupRows;   // rows fetched ahead
  Vec top[kBlock / kWidth];
  Ids arg[kBlock / kWidth];
  typename S::Score tail_top[kWidth];
  int32_t tail_arg[kWidth];
  const size_t stride = static_cast<size_t>(frames);
  for (int t0 = 0; t0 < n; t0 += kBlock) {
    const int width = std::min(kBlock, n - t0);
    const int vectors = width / kWidth;
    const int tail = width - vectors * kWidth;
    const Element* block = logits + t0;
    const Element* tail_cols = block + vectors * kWidth;
    for (int j = 0; j < vectors; ++j) {
      top[j] = S::LoadFirst(block + j * kWidth);
      arg[j] = Ids{};
    }
    for (int k = 0; k < tail; ++k) {
      tail_top[k] = S::First(tail_cols[k]);
      tail_arg[k] = 0;
    }
    auto scan = [&](int v0, int v1, int j) {
      for (int v = v0; v < v1; ++v) {
        const Vec x = S::Load(block + static_cast<size_t>(v) * stride + j * kWidth);
        const auto greater = x > top[j];
        top[j] = greater ? x : top[j];
        arg[j] = S::Widen(greater) ? Ids{} + v : arg[j];
      }
    };
    auto scan_tail = [&](int v0, int v1) {
      for (int k = 0; k < tail; ++k) {
        for (int v = v0; v < v1; ++v) {
          const auto x = S::Key(tail_cols[static_cast<size_t>(v) * stride + k]);
          tail_arg[k] = x > tail_top[k] ? v : tail_arg[k];
          tail_top[k] = x > tail_top[k] ? x : tail_top[k];
        }
      }
    };
    int v0 = 1;
    for (; v0 + kGroupRows <= vocab; v0 += kGroupRows) {
      const Element* group = block + static_cast<size_t>(v0) * stride;
      const bool fetch = v0 + kAhead + kGroupRows <= vocab;
      int j = 0;
      for (; j + kLine <= vectors; j += kLine) {
        const Element* piece = group + j * kWidth;
        for (int r = 0; fetch && r < kGroupRows; ++r) {
          __builtin_prefetch(piece + (kAhead + r) * stride);
        }
        if (GroupRaises<S, kLine>(piece, stride, top + j)) {
          for (int q = 0; q < kLine; ++q) scan(v0, v0 + kGroupRows, j + q);
        }
      }
      for (; j < vectors; ++j) {
        if (GroupRaises<S, 1>(group + j * kWidth, stride, top + j)) scan(v0, v0 + kGroupRows, j);
      }
      scan_tail(v0, v0 + kGroupRows);
    }
    for (int j = 0; j < vectors; ++j) scan(v0, vocab, j);
    scan_tail(v0, vocab);
    for (int j = 0; j < vectors; ++j) {
      for (int k = 0; k < kWidth; ++k) best[t0 + j * kWidth + k] = arg[j][k];
    }
    for (int k = 0; k < tail; ++k) best[t0 + vectors * kWidth + k] = tail_arg[k];
  }
}

// Both layouts, for either kind of scores.
template <typename S>
void BestTokensOf(const typename S::Element* logits, int frames, int vocab, bool vocab_major,
                  int n, int32_t* best) {
  n = std::min(n, frames);
  if (n < 1 || vocab < 1 || logits == nullptr || best == nullptr) return;
  if (vocab_major) {
    ColumnsFirstArgMax<S>(logits, vocab, frames, n, best);
    return;
  }
  constexpr int kSideBySide = 8;
  const size_t stride = static_cast<size_t>(vocab);
  int t = 0;
  for (; t + kSideBySide <= n; t += kSideBySide) {
    RowsFirstArgMax<S, kSideBySide>(logits + t * stride, stride, vocab, best + t);
  }
  for (; t < n; ++t) RowsFirstArgMax<S, 1>(logits + t * stride, stride, vocab, best + t);
}

// The collapse rule, in one place: a frame starts a token when its best id
// is not the blank and differs from the frame before; the token's run goes
// on while the same id wins. Calls emit(id, first_frame) per token and
// extend(frame) for every later frame of its run.
template <typename Emit, typename Extend>
void CollapseRuns(const int32_t* best, int frames, int32_t blank_id, Emit emit, Extend extend) {
  int prev = -1;
  for (int t = 0; t < frames; ++t) {
    if (best[t] != blank_id) {
      if (best[t] != prev) {
        emit(best[t], t);
      } else {
        extend(t);
      }
    }
    prev = best[t];
  }
}

}  // namespace

void CtcGreedyDecoder::BestTokens(const float* logits, int frames, int vocab, bool vocab_major,
                                  int n, int32_t* best) {
  BestTokensOf<FloatScores>(logits, frames, vocab, vocab_major, n, best);
}

void CtcGreedyDecoder::BestTokens(const uint16_t* halves, int frames, int vocab, bool vocab_major,
                                  int n, int32_t* best) {
  BestTokensOf<HalfScores>(halves, frames, vocab, vocab_major, n, best);
}

int CtcGreedyDecoder::BestToken(const float* scores, int vocab) {
  if (vocab < 1 || scores == nullptr) return 0;
  int32_t best = 0;
  RowsFirstArgMax<FloatScores, 1>(scores, 0, vocab, &best);
  return best;
}

std::vector<int> CtcGreedyDecoder::Collapse(const int32_t* best, int frames) const {
  std::vector<int> ids;
  if (frames < 1 || best == nullptr) return ids;
  ids.reserve(static_cast<size_t>(frames));
  CollapseRuns(
      best, frames, blank_id, [&ids](int id, int) { ids.push_back(id); }, [](int) {});
  return ids;
}

std::vector<CtcToken> CtcGreedyDecoder::CollapseTimed(const int32_t* best, int frames) const {
  std::vector<CtcToken> tokens;
  if (frames < 1 || best == nullptr) return tokens;
  CollapseRuns(
      best, frames, blank_id,
      [&tokens](int id, int t) { tokens.push_back({id, t, t}); },
      [&tokens](int t) { tokens.back().last_frame = t; });
  return tokens;
}

std::vector<int> CtcGreedyDecoder::Decode(const float* logits, int frames, int vocab) const {
  if (frames < 1 || vocab < 1 || logits == nullptr) return {};
  std::vector<int32_t> best(static_cast<size_t>(frames));
  BestTokens(logits, frames, vocab, false, frames, best.data());
  return Collapse(best.data(), frames);
}
