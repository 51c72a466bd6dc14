// Soft-decision Viterbi decoder for the rate-1/2, K = 7 convolutional code
// of the frame stages (generators 0x79 and 0x5B, the second output
// inverted).  Soft symbols in, NRZ convention (positive means bit 0); one
// decided bit out per symbol pair, `delay` pairs after it arrived, so any
// chunking of the input gives the same bits; flush() decides the rest.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tb {

inline constexpr std::uint32_t kViterbiStates = 64;

struct viterbi {
  std::uint32_t delay = 0;                  // decision delay in input bits (>= 1)
  float metric[kViterbiStates] = {};        // path metrics (larger is better)
  std::vector<std::uint64_t> surv;          // ring of delay + 1 survivor words (bit s: the dropped bit into s)
  std::uint64_t steps = 0;                  // symbol pairs decoded
  std::uint32_t pending = 0;                // a first half of a pair is held
  float held = 0.0f;
};

// nullptr when delay is 0 or above 1 << 20, or allocation fails.
viterbi* viterbi_create(std::uint32_t delay);
void viterbi_destroy(viterbi* v);
void viterbi_reset(viterbi* v);
// Decides while there is room; returns the bits written.
std::size_t viterbi_steps(viterbi* v, const float* soft, std::size_t n, std::uint8_t* out, std::size_t cap);
std::size_t viterbi_steps_max_out(const viterbi* v, std::size_t n);
// The bits still undecided (traced back from the best state), then a reset.
std::size_t viterbi_flush(viterbi* v, std::uint8_t* out, std::size_t cap);
std::size_t viterbi_flush_max_out(const viterbi* v);
std::size_t viterbi_state_bytes(const viterbi* v);
int viterbi_get_state(const viterbi* v, unsigned char* buf, std::size_t len);
int viterbi_set_state(viterbi* v, const unsigned char* buf, std::size_t len);

}  // namespace tb
