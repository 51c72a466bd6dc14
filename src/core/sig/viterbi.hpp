// Soft-decision Viterbi decoder for the rate-1/2, K = 7 convolutional code
// of the frame stages (generators 0x79 and 0x5B, the second output
// inverted).  Soft symbols in, NRZ convention (positive means bit 0); one
// decided bit out per symbol pair, `delay` pairs after it arrived, so any
// chunking of the input gives the same bits; flush() decides the rest.
//
// The add-compare-select runs over all 64 states at once in SIMD registers
// (SSE2, or AVX2 where the processor has it) with float path metrics; every
// path does the same IEEE operations per state, so all give the same bits.
// Decisions are packed one bit per state.  A traceback from the best state
// decides up to `batch` bits at a time (a third of the delay, at most 64),
// so every bit is decided at least delay - batch + 1 pairs after it
// arrived.  The tracebacks and the metrics' renormalisation fall on fixed
// pairs of the stream, counted from `start` (the stream index of the first
// pair), so decoders started at different points of one stream decide
// alike once their paths have merged.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tb {

inline constexpr std::uint32_t kViterbiStates = 64;

struct viterbi {
  std::uint32_t delay = 0;                  // emission delay in input bits (>= 1)
  std::uint32_t batch = 1;                  // bits decided per traceback (1..64, <= delay + 1)
  std::uint64_t start = 0;                  // stream index of the first pair
  float metric[kViterbiStates] = {};        // path metrics (larger is better)
  std::vector<std::uint64_t> surv;          // ring of delay + 1 decision words (bit s: the dropped bit into s)
  std::uint64_t steps = 0;                  // symbol pairs decoded
  std::uint32_t pending = 0;                // a first half of a pair is held
  float held = 0.0f;
  std::uint64_t decided = 0;                // decided bits not yet emitted, the next in bit 0
  std::uint32_t ndecided = 0;
};

// nullptr when delay is 0 or above 1 << 20, or allocation fails.
viterbi* viterbi_create(std::uint32_t delay, std::uint64_t start = 0);
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

// The add-compare-select over n symbol pairs (2 n sanitised floats),
// writing one decision word per pair into ring[pos], ring[pos + 1], ...
// (wrapping at ring_n); `stream` is the stream index of the first pair (the
// metrics are renormalised after every 8th).  `isa` is a
// platform::isa_level, lowered to what the processor runs.
void viterbi_acs(int isa, float* metric, std::uint64_t* ring, std::size_t ring_n, std::size_t pos,
                 std::uint64_t stream, const float* sym, std::size_t n);

}  // namespace tb
