// The byte scans of the JSON parser, one kernel per instruction set: the end of a run of string
// bytes (the first quote, backslash or byte below 0x20) and the end of a run of whitespace. Every
// kernel returns the same pointer for the same input; the scalar loops are the reference the
// others are checked against. The AVX2 kernels carry their own target attribute, so the build
// flags stay baseline x86-64 and they run only where the processor reports AVX2.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORN_SCAN_X86 1
#else
#define VORN_SCAN_X86 0
#endif

namespace vorn::scan {

// The kernels a build may hold, from the plainest to the widest.
enum class Isa : uint8_t { Scalar, Swar, Sse2, Avx2 };

inline bool is_string_special(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == '"' || u == '\\';
}

inline bool is_json_ws(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The first byte in [p, end) that is a quote, a backslash or below 0x20, or end.
inline const char* string_end_scalar(const char* p, const char* end) noexcept {
  while (p < end && !is_string_special(*p)) ++p;
  return p;
}

// The first byte in [p, end) that is not whitespace, or end.
inline const char* ws_end_scalar(const char* p, const char* end) noexcept {
  while (p < end && is_json_ws(*p)) ++p;
  return p;
}

// Eight bytes at a time with word arithmetic, for targets without vector instructions.
inline const char* string_end_swar(const char* p, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t ONES = 0x0101010101010101ull;
    constexpr uint64_t HIGHS = 0x8080808080808080ull;
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      // Bit 7 of a byte is set for the first special byte; a borrow only sets bits above a byte
      // that really matches, so the lowest set bit is exact.
      const uint64_t q = w ^ (ONES * '"');
      const uint64_t b = w ^ (ONES * '\\');
      const uint64_t m = (((q - ONES) & ~q) | ((b - ONES) & ~b) | ((w - ONES * 0x20) & ~w)) & HIGHS;
      if (m != 0) return p + (std::countr_zero(m) >> 3);
      p += 8;
    }
  }
  return string_end_scalar(p, end);
}

#if VORN_SCAN_X86

// The special bytes of sixteen: quote, backslash, or at most 0x1F (unsigned).
inline unsigned string_mask_sse2(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i m =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}

inline const char* string_end_sse2(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    if (const unsigned mask = string_mask_sse2(p); mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
  return string_end_scalar(p, end);
}

// The bytes of sixteen that are not whitespace.
inline unsigned non_ws_mask_sse2(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i ws = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
  return static_cast<unsigned>(~_mm_movemask_epi8(ws)) & 0xFFFFu;
}

inline const char* ws_end_sse2(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    if (const unsigned other = non_ws_mask_sse2(p); other != 0) return p + std::countr_zero(other);
    p += 16;
  }
  return ws_end_scalar(p, end);
}

// Thirty-two bytes at a time; the tail of fewer than 32 goes through the SSE2 kernel, so a short
// string costs no more than it does there.
[[gnu::target("avx2")]] inline const char* string_end_avx2(const char* p,
                                                           const char* end) noexcept {
  while (end - p >= 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i m = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                                _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')));
    m = _mm256_or_si256(m, _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v));
    if (const auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(m)); mask != 0) {
      return p + std::countr_zero(mask);
    }
    p += 32;
  }
  return string_end_sse2(p, end);
}

[[gnu::target("avx2")]] inline const char* ws_end_avx2(const char* p, const char* end) noexcept {
  while (end - p >= 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i ws =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))),
                        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'))));
    const auto other = ~static_cast<uint32_t>(_mm256_movemask_epi8(ws));
    if (other != 0) return p + std::countr_zero(other);
    p += 32;
  }
  return ws_end_sse2(p, end);
}

#endif  // VORN_SCAN_X86

// The widest kernel set this processor runs; asked of the processor once per process.
inline Isa best_isa() noexcept {
#if VORN_SCAN_X86
  static const Isa best = __builtin_cpu_supports("avx2") ? Isa::Avx2 : Isa::Sse2;
  return best;
#else
  return Isa::Swar;
#endif
}

// Whether this build and this processor can run the kernels of `isa`.
inline bool runs(Isa isa) noexcept {
#if VORN_SCAN_X86
  return isa != Isa::Avx2 || best_isa() == Isa::Avx2;
#else
  return isa == Isa::Scalar || isa == Isa::Swar;
#endif
}

// The scans the parser calls. Most strings and whitespace runs end within sixteen bytes, so
// those are checked inline with SSE2; a longer run continues out of line, on AVX2 when `wide`
// (best_isa() is Avx2, asked once per parse). Keeping the AVX2 loop behind a call lets the
// parser itself stay baseline x86-64: code built for AVX2 is never inlined into it.
#if VORN_SCAN_X86
[[gnu::noinline]] inline const char* string_end_long(const char* p, const char* end,
                                                     bool wide) noexcept {
  return wide ? string_end_avx2(p, end) : string_end_sse2(p, end);
}

[[gnu::noinline]] inline const char* ws_end_long(const char* p, const char* end,
                                                 bool wide) noexcept {
  return wide ? ws_end_avx2(p, end) : ws_end_sse2(p, end);
}

inline const char* string_end_parser(const char* p, const char* end, bool wide) noexcept {
  if (end - p < 16) return string_end_scalar(p, end);
  if (const unsigned mask = string_mask_sse2(p); mask != 0) return p + std::countr_zero(mask);
  return string_end_long(p + 16, end, wide);
}

inline const char* ws_end_parser(const char* p, const char* end, bool wide) noexcept {
  if (end - p < 16) return ws_end_scalar(p, end);
  if (const unsigned other = non_ws_mask_sse2(p); other != 0) return p + std::countr_zero(other);
  return ws_end_long(p + 16, end, wide);
}
#else
inline const char* string_end_parser(const char* p, const char* end, bool) noexcept {
  return string_end_swar(p, end);
}

inline const char* ws_end_parser(const char* p, const char* end, bool) noexcept {
  return ws_end_scalar(p, end);
}
#endif

// The kernels of one instruction set by name, for callers that are templates on it. A kernel of
// a set the build lacks falls back to the word-sized one.
template <Isa I>
inline const char* string_end(const char* p, const char* end) noexcept {
  if constexpr (I == Isa::Scalar) return string_end_scalar(p, end);
#if VORN_SCAN_X86
  else if constexpr (I == Isa::Sse2)
    return string_end_sse2(p, end);
  else if constexpr (I == Isa::Avx2)
    return string_end_avx2(p, end);
#endif
  else
    return string_end_swar(p, end);
}

template <Isa I>
inline const char* ws_end(const char* p, const char* end) noexcept {
#if VORN_SCAN_X86
  if constexpr (I == Isa::Sse2)
    return ws_end_sse2(p, end);
  else if constexpr (I == Isa::Avx2)
    return ws_end_avx2(p, end);
  else
#endif
    return ws_end_scalar(p, end);
}

}  // namespace vorn::scan
