// Sample-format converters between float32 samples and fixed-point codes.
//
// Twelve converters are one idea with six code formats: a float-to-code
// direction (scale, round half away from zero, saturate, sticky clip flag)
// and a code-to-float direction (multiply by the float32 reciprocal of the
// scale).  Each format is a traits struct below; the kernels are templates
// over it, instantiated once per format in convert.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

struct sfc_f2i {
  float scale;
  std::uint32_t clipped;  // sticky: set by any saturated sample until reset
};
struct sfc_i2f {
  float inv;  // 1.0f / scale, computed once in float32
};

inline constexpr std::size_t kSfcBlobBytes = 16 + sizeof(float) + sizeof(std::uint32_t);  // header, scale, clipped

// Code formats.  `Code` is the array element type; `lo`/`hi` the saturation
// bounds of the signed code; `pack`/`unpack` map the signed code to and from
// the stored word.
struct FmtI8 {
  using Code = std::int8_t;
  static constexpr std::int32_t lo = -128, hi = 127;
  static Code pack(std::int32_t c) { return static_cast<Code>(c); }
  static std::int32_t unpack(Code w) { return w; }
};
struct FmtI16 {
  using Code = std::int16_t;
  static constexpr std::int32_t lo = -32768, hi = 32767;
  static Code pack(std::int32_t c) { return static_cast<Code>(c); }
  static std::int32_t unpack(Code w) { return w; }
};
// Q15 in the low half of a 32- or 64-bit word, upper bits zero.
template <class W>
struct FmtI16In {
  using Code = W;
  static constexpr std::int32_t lo = -32768, hi = 32767;
  static Code pack(std::int32_t c) { return static_cast<Code>(static_cast<std::uint16_t>(c)); }
  static std::int32_t unpack(Code w) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(w)); }
};
using FmtI16U32 = FmtI16In<std::uint32_t>;
using FmtI16U64 = FmtI16In<std::uint64_t>;
// Offset binary: code + 32768, i.e. the 16-bit pattern with its top bit flipped.
struct FmtUQ15 {
  using Code = std::uint16_t;
  static constexpr std::int32_t lo = -32768, hi = 32767;
  static Code pack(std::int32_t c) { return static_cast<Code>(static_cast<std::uint16_t>(c) ^ 0x8000u); }
  static std::int32_t unpack(Code w) { return static_cast<std::int32_t>(w) - 32768; }
};
// int32 codes: the float-to-code direction works in double (see convert.cpp).
struct FmtI32 {
  using Code = std::int32_t;
};

sfc_f2i* sfc_f2i_create(float scale);  // nullptr unless scale is finite and > 0
void sfc_f2i_destroy(sfc_f2i* c);
void sfc_f2i_reset(sfc_f2i* c);
std::size_t sfc_f2i_state_bytes(const sfc_f2i* c);
// The blob magic differs per format; the payload is scale (f32), clipped (u32).
int sfc_f2i_get_state(const sfc_f2i* c, const char magic[4], unsigned char* buf, std::size_t len);
int sfc_f2i_set_state(sfc_f2i* c, const char magic[4], const unsigned char* buf, std::size_t len);

sfc_i2f* sfc_i2f_create(float scale);  // nullptr unless scale is finite and > 0
void sfc_i2f_destroy(sfc_i2f* c);

template <class F>
void sfc_f2i_steps(sfc_f2i* c, const float* x, typename F::Code* out, std::size_t n);
template <class F>
typename F::Code sfc_f2i_step(sfc_f2i* c, float x);
template <class F>
void sfc_i2f_steps(sfc_i2f* c, const typename F::Code* x, float* out, std::size_t n);
template <class F>
float sfc_i2f_step(sfc_i2f* c, typename F::Code x);

}  // namespace tb
