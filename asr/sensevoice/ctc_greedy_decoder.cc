#include "sensevoice/ctc_greedy_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// Four-float vectors, the native width of both SSE and NEON, written once
// with the compiler's vector extensions.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
constexpr int kWidth = 4;

inline F4 Load(const float* p) {
  F4 x;
  std::memcpy(&x, p, sizeof(x));  // unaligned
  return x;
}

inline bool AnyLane(I4 mask) { return (mask[0] | mask[1] | mask[2] | mask[3]) != 0; }

// The running maximum of a left-to-right scan with strict "greater than":
// a NaN x never enters it, and a NaN maximum is never left. One instruction
// on either instruction set.
inline F4 Raise(F4 x, F4 top) { return x > top ? x : top; }

// The first maximum of each of kRows rows of n scores, stride floats
// apart, as a left-to-right scan with strict "greater than" finds it: a NaN
// in slot 0 wins, later NaNs never do, and of equal scores (-0 and +0 too)
// the first wins. Each block of 32 scores is reduced onto the row's running
// maximum, and only the last block that raised it is remembered: the answer
// is that block's first slot holding the final maximum, since every earlier
// score is below it. The rows are read side by side, kRows streams through
// memory at once, which the memory system serves faster than one.
template <int kRows>
void RowsFirstArgMax(const float* rows, size_t stride, int n, int32_t* best) {
  constexpr int kBlock = 32;
  float top[kRows];
  F4 top4[kRows];
  int at[kRows];
  bool in_block[kRows];  // at is a block to search rather than the answer
  for (int r = 0; r < kRows; ++r) {
    top[r] = rows[r * stride];
    top4[r] = F4{} + top[r];
    at[r] = 0;
    in_block[r] = false;
  }
  int i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (int r = 0; r < kRows; ++r) {
      const float* p = rows + r * stride + i;
      F4 a = top4[r], b = top4[r];
      for (int k = 0; k < kBlock; k += 2 * kWidth) {
        a = Raise(Load(p + k), a);
        b = Raise(Load(p + k + kWidth), b);
      }
      a = Raise(a, b);
      if (AnyLane(a > top4[r])) {
        for (int lane = 0; lane < kWidth; ++lane) top[r] = a[lane] > top[r] ? a[lane] : top[r];
        top4[r] = F4{} + top[r];
        at[r] = i;
        in_block[r] = true;
      }
    }
  }
  for (int r = 0; r < kRows; ++r) {
    const float* row = rows + r * stride;
    for (int k = i; k < n; ++k) {
      if (row[k] > top[r]) {
        top[r] = row[k];
        at[r] = k;
        in_block[r] = false;
      }
    }
    if (in_block[r]) {
      int k = at[r];
      while (k < at[r] + kBlock - 1 && !(row[k] == top[r])) ++k;
      at[r] = k;
    }
    best[r] = at[r];
  }
}

// Rows of vocabulary-major logits taken together: a group is reduced onto
// the running maxima before any exact scan.
constexpr int kGroupRows = 8;

// Whether a group of kGroupRows rows (stride floats apart) raises the
// running maximum of any of kVectors adjacent vectors of columns.
template <int kVectors>
bool GroupRaises(const float* group, size_t stride, const F4* top) {
  F4 a[kVectors];
  for (int q = 0; q < kVectors; ++q) a[q] = top[q];
  for (int r = 0; r < kGroupRows; ++r) {
    for (int q = 0; q < kVectors; ++q) a[q] = Raise(Load(group + r * stride + q * kWidth), a[q]);
  }
  I4 raised = a[0] > top[0];
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
void ColumnsFirstArgMax(const float* logits, int vocab, int frames, int n, int32_t* best) {
  constexpr int kBlock = 1024;           // columns, a multiple of kWidth
  constexpr int kLine = 64 / sizeof(F4);  // vectors per cache line
  constexpr int kAhead = 2 * kGroupRows;  // rows fetched ahead
  F4 top[kBlock / kWidth];
  I4 arg[kBlock / kWidth];
  float tail_top[kWidth];
  int32_t tail_arg[kWidth];
  const size_t stride = static_cast<size_t>(frames);
  for (int t0 = 0; t0 < n; t0 += kBlock) {
    const int width = std::min(kBlock, n - t0);
    const int vectors = width / kWidth;
    const int tail = width - vectors * kWidth;
    const float* block = logits + t0;
    const float* tail_cols = block + vectors * kWidth;
    for (int j = 0; j < vectors; ++j) {
      top[j] = Load(block + j * kWidth);
      arg[j] = I4{};
    }
    for (int k = 0; k < tail; ++k) {
      tail_top[k] = tail_cols[k];
      tail_arg[k] = 0;
    }
    auto scan = [&](int v0, int v1, int j) {
      for (int v = v0; v < v1; ++v) {
        const F4 x = Load(block + static_cast<size_t>(v) * stride + j * kWidth);
        const I4 greater = x > top[j];
        top[j] = greater ? x : top[j];
        arg[j] = greater ? I4{} + v : arg[j];
      }
    };
    auto scan_tail = [&](int v0, int v1) {
      for (int k = 0; k < tail; ++k) {
        for (int v = v0; v < v1; ++v) {
          const float x = tail_cols[static_cast<size_t>(v) * stride + k];
          tail_arg[k] = x > tail_top[k] ? v : tail_arg[k];
          tail_top[k] = x > tail_top[k] ? x : tail_top[k];
        }
      }
    };
    int v0 = 1;
    for (; v0 + kGroupRows <= vocab; v0 += kGroupRows) {
      const float* group = block + static_cast<size_t>(v0) * stride;
      const bool fetch = v0 + kAhead + kGroupRows <= vocab;
      int j = 0;
      for (; j + kLine <= vectors; j += kLine) {
        const float* piece = group + j * kWidth;
        for (int r = 0; fetch && r < kGroupRows; ++r) {
          __builtin_prefetch(piece + (kAhead + r) * stride);
        }
        if (GroupRaises<kLine>(piece, stride, top + j)) {
          for (int q = 0; q < kLine; ++q) scan(v0, v0 + kGroupRows, j + q);
        }
      }
      for (; j < vectors; ++j) {
        if (GroupRaises<1>(group + j * kWidth, stride, top + j)) scan(v0, v0 + kGroupRows, j);
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
  n = std::min(n, frames);
  if (n < 1 || vocab < 1 || logits == nullptr || best == nullptr) return;
  if (vocab_major) {
    ColumnsFirstArgMax(logits, vocab, frames, n, best);
    return;
  }
  constexpr int kSideBySide = 8;
  const size_t stride = static_cast<size_t>(vocab);
  int t = 0;
  for (; t + kSideBySide <= n; t += kSideBySide) {
    RowsFirstArgMax<kSideBySide>(logits + t * stride, stride, vocab, best + t);
  }
  for (; t < n; ++t) RowsFirstArgMax<1>(logits + t * stride, stride, vocab, best + t);
}

int CtcGreedyDecoder::BestToken(const float* scores, int vocab) {
  if (vocab < 1 || scores == nullptr) return 0;
  int32_t best = 0;
  RowsFirstArgMax<1>(scores, 0, vocab, &best);
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
