// Code generators: a linear-feedback shift register of 1 to 64 stages in the
// Galois or Fibonacci realization (one chip per step; a primitive polynomial
// gives a maximal-length sequence of period 2^n - 1), the Gold generator of
// two Fibonacci registers in lock-step, and the table of maximal-length
// polynomials for every length from 2 to 64.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

enum pn_lfsr : int { PN_GALOIS = 0, PN_FIBONACCI = 1 };

struct pn {
  std::uint64_t poly;     // Galois mask (right-shift convention), masked
  std::uint64_t seed;     // kept for reset, masked
  std::uint64_t reg;      // running register
  std::uint64_t mask;     // 2^length - 1 (all ones for 64)
  std::uint64_t fib_taps; // ((poly << 1) | 1) & mask
  std::uint32_t top;      // length - 1
  std::int32_t lfsr;      // PN_GALOIS or PN_FIBONACCI
};

struct gold {
  std::uint64_t reg_a, reg_b;
  std::uint64_t taps_a, taps_b;
  std::uint64_t seed_a, seed_b;
  std::uint64_t mask;
  std::uint32_t length;
};

inline constexpr std::size_t kPnBlobBytes = 16 + 8;
inline constexpr std::size_t kGoldBlobBytes = 16 + 16;

// The maximal-length Galois polynomial for n stages (2..64), else 0.
std::uint64_t mls_poly(std::uint32_t n);

// In place (the synthesiser and frame fields embed one): false when the
// length is 0 or above 64, or the seed has no bit inside the register (a
// zero register would emit zeros for ever).  lfsr 1 is Fibonacci, anything
// else Galois.
bool pn_init(pn* p, std::uint64_t poly, std::uint64_t seed, std::uint32_t length, int lfsr);
pn* pn_create(std::uint64_t poly, std::uint64_t seed, std::uint32_t length, int lfsr);
void pn_destroy(pn* p);
void pn_reset(pn* p);

// One chip (the register's least significant bit, taken before the update).
inline std::uint8_t pn_step(pn* p) {
  const std::uint64_t r = p->reg;
  const std::uint8_t chip = static_cast<std::uint8_t>(r & 1u);
  if (p->lfsr == PN_FIBONACCI) {
    const std::uint64_t fb = static_cast<std::uint64_t>(__builtin_parityll(r & p->fib_taps));
    p->reg = (r >> 1) | (fb << p->top);
  } else {
    p->reg = ((r >> 1) ^ (chip ? p->poly : 0u)) & p->mask;
  }
  return chip;
}

// min(count, cap) chips, one per byte.
std::size_t pn_generate(pn* p, std::size_t count, std::uint8_t* out, std::size_t cap);
std::size_t pn_state_bytes(const pn* p);
int pn_get_state(const pn* p, unsigned char* buf, std::size_t len);
int pn_check_state(const pn* p, const unsigned char* buf, std::size_t len);
// A register with bits outside the width is refused; a zero register is
// restored (it emits zeros, as it does after a zero polynomial's first step).
int pn_set_state(pn* p, const unsigned char* buf, std::size_t len);

gold* gold_create(std::uint64_t taps_a, std::uint64_t seed_a, std::uint64_t taps_b, std::uint64_t seed_b,
                  std::uint32_t length);
void gold_destroy(gold* g);
void gold_reset(gold* g);
std::size_t gold_generate(gold* g, std::size_t count, std::uint8_t* out, std::size_t cap);
std::size_t gold_state_bytes(const gold* g);
int gold_get_state(const gold* g, unsigned char* buf, std::size_t len);
int gold_set_state(gold* g, const unsigned char* buf, std::size_t len);

}  // namespace tb
