// Conditioning of an NRZ waveform (an FM discriminator's audio at k samples
// a symbol) for a timing loop, in double precision, streaming:
//   1. DC away: less the mean of the last n values (itself included; fewer,
//      with their count, at the stream's start);
//   2. the matched filter of a one-symbol rectangle: the sum of the last k
//      values of 1;
//   3. the level brought to 1: over the RMS of the last n values of 2 (the
//      same counts as 1), floored at 1e-12; rounded to float32.
// Every window sum is a running sum less the running sum the window's
// length before, each running sum one addition a value, so every sum is the
// same however the stream is cut.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tb {

struct nrz_cond {
  std::uint64_t k = 0, n = 0;  // matched-filter and DC/level window lengths
  std::uint64_t seen = 0;      // values taken
  double run_dc = 0.0, run_mf = 0.0, run_pow = 0.0;
  // The last n DC, k matched-filter and n power running sums, each ring at
  // the position of the value seen (mod its length): derived, not stored.
  std::vector<double> dc, mf, pw;
  std::uint64_t pos_n = 0, pos_k = 0;
};

// nullptr unless 1 <= k <= n <= 2^24, or when the rings cannot be had.
nrz_cond* nrz_cond_create(std::uint64_t k, std::uint64_t n);
void nrz_cond_destroy(nrz_cond* c);
void nrz_cond_reset(nrz_cond* c);
void nrz_cond_steps(nrz_cond* c, const double* x, float* out, std::size_t n);
std::size_t nrz_cond_state_bytes(const nrz_cond* c);
int nrz_cond_get_state(const nrz_cond* c, unsigned char* buf, std::size_t len);
// Refused unless the blob's k and n are the object's.
int nrz_cond_set_state(nrz_cond* c, const unsigned char* buf, std::size_t len);

}  // namespace tb
