// Eight spectrogram frames side by side: lane l of every vector belongs to
// frame l of a group, so the transform, the mel sums and the logarithms are
// plain scalar-looking code run on eight frames at once. Written with the
// compiler's vector extensions, so one source serves x86-64 and aarch64.
//
// Only additions, subtractions, multiplications, comparisons, selections and
// integer bit operations are used, each rounded on its own (the units that
// include this are compiled with -ffp-contract=off): every lane, every
// instruction set and both architectures give the same bits.
#ifndef ZOR_ASR_WHISPER_MEL_VECTOR_H_
#define ZOR_ASR_WHISPER_MEL_VECTOR_H_

#include <cstdint>
#include <cstring>

namespace whisper_spectrum {

constexpr int kLanes = 8;
typedef float lanes_f32 __attribute__((vector_size(kLanes * sizeof(float))));
typedef int32_t lanes_i32 __attribute__((vector_size(kLanes * sizeof(int32_t))));

#define ZOR_LANES_INLINE inline __attribute__((always_inline))

// On x86-64 the hot loops are also built for AVX2 and AVX-512 and picked at
// load time; the results are the same bits either way (see above). aarch64
// has one vector unit and needs no choice. Sanitizer builds keep the one
// default version: the loader runs the choosing code before a sanitizer's
// runtime has started, and the instrumented chooser would crash.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZOR_LANES_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define ZOR_LANES_CLONES
#endif

// Loads and stores through memcpy: any alignment, no aliasing questions.
ZOR_LANES_INLINE lanes_f32 lanes_load(const float* p) {
  lanes_f32 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
ZOR_LANES_INLINE void lanes_store(float* p, lanes_f32 v) { std::memcpy(p, &v, sizeof(v)); }
ZOR_LANES_INLINE lanes_f32 lanes_splat(float x) { return lanes_f32{} + x; }
ZOR_LANES_INLINE lanes_f32 lanes_max(lanes_f32 a, lanes_f32 b) { return a > b ? a : b; }

// The same bits seen as the other type.
template <typename To, typename From>
ZOR_LANES_INLINE To lanes_bits(From v) {
  static_assert(sizeof(To) == sizeof(From), "same width");
  To out;
  std::memcpy(&out, &v, sizeof(out));
  return out;
}

// m[i][l] becomes m[l][i].
ZOR_LANES_INLINE void lanes_transpose(lanes_f32 (&m)[kLanes]) {
  static_assert(kLanes == 8, "an 8 x 8 transpose");
  const lanes_i32 lo2{0, 8, 1, 9, 4, 12, 5, 13}, hi2{2, 10, 3, 11, 6, 14, 7, 15};
  const lanes_i32 lo4{0, 1, 8, 9, 4, 5, 12, 13}, hi4{2, 3, 10, 11, 6, 7, 14, 15};
  const lanes_i32 lo8{0, 1, 2, 3, 8, 9, 10, 11}, hi8{4, 5, 6, 7, 12, 13, 14, 15};
  lanes_f32 t[kLanes], u[kLanes];
  for (int i = 0; i < kLanes; i += 2) {
    t[i] = __builtin_shuffle(m[i], m[i + 1], lo2);
    t[i + 1] = __builtin_shuffle(m[i], m[i + 1], hi2);
  }
  for (int i = 0; i < kLanes; i += 4) {
    u[i] = __builtin_shuffle(t[i], t[i + 2], lo4);
    u[i + 1] = __builtin_shuffle(t[i], t[i + 2], hi4);
    u[i + 2] = __builtin_shuffle(t[i + 1], t[i + 3], lo4);
    u[i + 3] = __builtin_shuffle(t[i + 1], t[i + 3], hi4);
  }
  for (int i = 0; i < 4; ++i) {
    m[i] = __builtin_shuffle(u[i], u[i + 4], lo8);
    m[i + 4] = __builtin_shuffle(u[i], u[i + 4], hi8);
  }
}

// log10 of each lane, for positive, normal, finite x. The fraction's
// logarithm is a degree-9 polynomial on [sqrt(1/2) - 1, sqrt(2) - 1] and the
// constants are split in a short exact head and a tail, so the result is
// within about one unit in the last place of log10(x).
ZOR_LANES_INLINE lanes_f32 lanes_log10(lanes_f32 x) {
  const lanes_i32 bits = lanes_bits<lanes_i32>(x);
  lanes_i32 exponent = ((bits >> 23) & 0xff) - 126;  // x = f * 2^exponent, f in [1/2, 1)
  const lanes_i32 fraction_bits = (bits & 0x007fffff) | 0x3f000000;
  lanes_f32 f = lanes_bits<lanes_f32>(fraction_bits);
  // Keep f in [sqrt(1/2), sqrt(2)): the polynomial's range, centred on 1.
  const lanes_i32 low = f < 0.70710678118654752440f;  // -1 where true
  exponent += low;
  const lanes_f32 doubled = low ? f : lanes_f32{};
  f = f - 1.0f + doubled;
  const lanes_f32 e = __builtin_convertvector(exponent, lanes_f32);

  const lanes_f32 z = f * f;
  lanes_f32 y = 7.0376836292e-2f * f - 1.1514610310e-1f;
  y = y * f + 1.1676998740e-1f;
  y = y * f - 1.2420140846e-1f;
  y = y * f + 1.4249322787e-1f;
  y = y * f - 1.6668057665e-1f;
  y = y * f + 2.0000714765e-1f;
  y = y * f - 2.4999993993e-1f;
  y = y * f + 3.3333331174e-1f;
  y = y * f * z;
  y = y - 0.5f * z;  // ln(1 + f) = f + y

  constexpr float kLog10eHead = 4.3359375e-1f;  // + tail = log10(e)
  constexpr float kLog10eTail = 7.00731903251827651129e-4f;
  constexpr float kLog10TwoHead = 3.0078125e-1f;  // + tail = log10(2)
  constexpr float kLog10TwoTail = 2.48745663981195213739e-4f;
  lanes_f32 r = y * kLog10eTail;
  r = r + f * kLog10eTail;
  r = r + e * kLog10TwoTail;
  r = r + y * kLog10eHead;
  r = r + f * kLog10eHead;
  r = r + e * kLog10TwoHead;
  return r;
}

}  // namespace whisper_spectrum

#endif  // ZOR_ASR_WHISPER_MEL_VECTOR_H_
