// The Gaussian noise generator of the synthesiser: xoshiro256++ seeded
// through splitmix64, a Box-Muller step per complex sample whose angle is
// read from the shared oscillator sine table.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/types.hpp"

namespace tb {

struct awgn {
  std::uint64_t s[4];     // xoshiro256++ state
  std::uint64_t aux[32];  // auxiliary lane state, 8 lanes x 4 words, word-major
  std::uint64_t seed;
  float amp;              // per-component standard deviation
};

inline constexpr std::size_t kAwgnBlobBytes = 16 + 32 + 256;

// seed and amplitude are kept for reset; the state is seeded at once.
void awgn_init(awgn* a, std::uint64_t seed, float amp);
void awgn_reset(awgn* a);
// n complex samples of per-component standard deviation amp.
void awgn_generate(awgn* a, cf32* out, std::size_t n);
cf32 awgn_next(awgn* a);

int awgn_get_state(const awgn* a, unsigned char* buf, std::size_t len);
int awgn_check_state(const unsigned char* buf, std::size_t len);
int awgn_set_state(awgn* a, const unsigned char* buf, std::size_t len);

}  // namespace tb
