// 2:1 halfband decimators: the complex halfband of the rate-converting
// cascade, and the real-to-complex halfband that turns a real stream into a
// complex one at half the rate, shifted by a quarter of the input rate (the
// +-1/0 rotation folded into its taps, centre sign and an output toggle).
//
// Both take inputs in pairs (even, odd) and give one output per pair from
// the 19-entry branch table below; an unpaired input waits for the next
// call, so any cut of a stream gives the output of one long block.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/types.hpp"

namespace tb {

// The non-trivial polyphase branch of the halfband lowpass: 18 symmetric
// taps (c[t] = c[17 - t]) and a trailing zero.  With the other branch's
// centre tap 0.5 the full 35-tap filter has unit DC gain.
inline constexpr std::size_t kHalfbandTaps = 19;
extern const float kHalfbandTable[kHalfbandTaps];

// The delay lines are kept as the last kHalfbandRing samples of each branch
// (index kHalfbandRing - 1 the newest), followed by room for a chunk of the
// block, per component: the outputs of a chunk are then plain stride-one
// sums over arrays, which vectorise across outputs while each output keeps
// its fixed order of operations.  The state blob presents these delay lines
// as the mirrored rings of D = 32 slots the persisted format defines.
inline constexpr std::size_t kHalfbandRing = 32;  // smallest power of two >= 19
inline constexpr std::size_t kHalfbandChunk = 256;
inline constexpr std::size_t kHalfbandWork = kHalfbandRing + kHalfbandChunk;

struct hb {
  float taps[kHalfbandTaps];  // 0.5 * c
  float er[kHalfbandWork], ei[kHalfbandWork];  // even branch: history, then the chunk
  float orr[kHalfbandWork], oi[kHalfbandWork];  // odd branch
  std::uint64_t pushes;       // pairs since reset (the rings' index is -pushes mod 32)
  std::uint32_t pending;      // an unpaired input is held
  cf32 held;
  // Single-sample pushes slide the history forward through the chunk room
  // (it starts at `off`) and move it back only when the room is used up.
  std::uint32_t off;
};

struct hbr2 {
  float taps[kHalfbandTaps];  // c[i] * (+0.5 even i, -0.5 odd i)
  float centre_sign;          // -1 for the 19-entry table (19 = 3 mod 4)
  float e[kHalfbandWork], o[kHalfbandWork];
  std::uint64_t pushes;
  std::uint32_t pending;
  float held;
  std::uint32_t toggle;  // alternates 0, 1 with every output
};

inline constexpr std::size_t kHbBlobBytes = 16 + 8 + 8 + 4 + 8 + 2 * 2 * kHalfbandRing * sizeof(cf32);   // 1068
inline constexpr std::size_t kHbr2BlobBytes = 16 + 8 + 8 + 4 + 4 + 4 + 2 * 2 * kHalfbandRing * sizeof(float);  // 556

// Only the 19-entry table is supported (n must be 19, table non-null).
hb* hb_create(std::size_t n, const float* table);
void hb_destroy(hb* h);
void hb_reset(hb* h);
// Consumes all n inputs; writes at most cap outputs.  Callers size cap to
// hb_max_out(n), so nothing is ever dropped.
std::size_t hb_execute(hb* h, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
std::size_t hb_max_out(const hb* h, std::size_t n);
// One input; true with *y set when it completes a pair.  The same outputs
// as hb_execute, without a block's bookkeeping per sample.
bool hb_push(hb* h, const cf32& x, cf32* y);
std::size_t hb_state_bytes(const hb* h);
int hb_get_state(const hb* h, unsigned char* buf, std::size_t len);
int hb_check_state(const hb* h, const unsigned char* buf, std::size_t len);
int hb_set_state(hb* h, const unsigned char* buf, std::size_t len);

hbr2* hbr2_create(std::size_t n, const float* table);
void hbr2_destroy(hbr2* h);
void hbr2_reset(hbr2* h);
std::size_t hbr2_execute(hbr2* h, const float* x, std::size_t n, cf32* out, std::size_t cap);
std::size_t hbr2_max_out(const hbr2* h, std::size_t n);
std::size_t hbr2_state_bytes(const hbr2* h);
int hbr2_get_state(const hbr2* h, unsigned char* buf, std::size_t len);
int hbr2_check_state(const hbr2* h, const unsigned char* buf, std::size_t len);
int hbr2_set_state(hbr2* h, const unsigned char* buf, std::size_t len);

}  // namespace tb
