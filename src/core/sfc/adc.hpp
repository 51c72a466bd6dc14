// Signed N-bit ADC model: scale so a chosen dBFS level fills the code range,
// optional triangular dither from a fixed-seed xorshift32 generator, round
// half away from zero, saturate, latch a sticky clip flag.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

struct adc {
  double scale;           // 10^(-dbfs/20) * 2^(bits-1): codes per unit of input
  std::int64_t clip_max;  // 2^(bits-1) - 1
  std::int64_t clip_min;  // -2^(bits-1)
  std::uint32_t bits;     // 1..64
  float dbfs;             // full-scale reference level, as passed
  std::int32_t dithering; // 0 off, > 0 TPDF dither on
  std::uint32_t clipped;  // sticky clip flag
  std::uint32_t prng;     // xorshift32 state
  std::uint32_t pad;      // zero; completes the 48-byte record
};
static_assert(sizeof(adc) == 48, "the ADC record is its 48-byte state payload");

inline constexpr std::uint32_t kAdcSeed = 0x12345678u;
inline constexpr std::size_t kAdcBlobBytes = 16 + sizeof(adc);  // header + the 48-byte record

// nullptr when bits is 0 or above 64, dithering is negative or dbfs is not finite.
adc* adc_create(std::uint64_t bits, float dbfs, std::int32_t dithering);
void adc_destroy(adc* a);
void adc_reset(adc* a);
void adc_steps(adc* a, const float* x, std::int64_t* out, std::size_t n);
std::int64_t adc_step(adc* a, float x);
std::size_t adc_state_bytes(const adc* a);
int adc_get_state(const adc* a, unsigned char* buf, std::size_t len);
int adc_set_state(adc* a, const unsigned char* buf, std::size_t len);

}  // namespace tb
