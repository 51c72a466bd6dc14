// Bit-level line decoding and sync search over hard channel bits (bit 0 of
// each byte counts), streaming, so any chunking gives the same output.
//
// bit_line: the G3RUH descrambler (1 + x^12 + x^17, self-synchronising),
// then differential decoding: NRZ-M (a one is a change of level) or NRZI
// (a zero is a change); either may be off.  One bit out per bit in.
//
// sync_search: where a marker of up to 64 bits starts, allowing up to
// max_errors bit errors, and, when asked, its complement (an unresolved
// phase or polarity).  Each hit is one uint64:
//   (stream index of the marker's first bit) << 8 | inverted << 7 | errors
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

// The G3RUH scrambler's taps on the register of the last 17 line bits
// (newest in bit 0): the bits 12 and 17 back.
inline std::uint32_t g3ruh_taps(std::uint32_t scr) { return ((scr >> 11) ^ (scr >> 16)) & 1u; }

enum bit_line_diff : std::uint32_t { LINE_PLAIN = 0, LINE_NRZM = 1, LINE_NRZI = 2 };

struct bit_line {
  std::uint32_t g3ruh;  // descramble first
  std::uint32_t diff;   // a bit_line_diff
  std::uint32_t scr;    // the last 17 line bits, newest in bit 0
  std::uint32_t last;   // the previous descrambled bit (the level before the stream: 0)
};
static_assert(sizeof(bit_line) == 16);

// nullptr for an unknown diff.
bit_line* bit_line_create(bool g3ruh, std::uint32_t diff);
void bit_line_destroy(bit_line* b);
void bit_line_reset(bit_line* b);
void bit_line_steps(bit_line* b, const std::uint8_t* x, std::uint8_t* out, std::size_t n);
std::size_t bit_line_state_bytes(const bit_line* b);
int bit_line_get_state(const bit_line* b, unsigned char* buf, std::size_t len);
int bit_line_set_state(bit_line* b, const unsigned char* buf, std::size_t len);

inline constexpr std::uint32_t kSyncMaxBits = 64;

struct sync_search {
  std::uint64_t marker;      // its first bit the most significant of nbits
  std::uint64_t reg;         // the last nbits bits, newest in bit 0
  std::uint64_t pos;         // bits taken
  std::uint32_t nbits;       // 1..64
  std::uint32_t max_errors;  // below nbits
  std::uint32_t inverted;    // the complement is looked for too
  std::uint32_t pad;
};
static_assert(sizeof(sync_search) == 40);

// nullptr unless 1 <= nbits <= 64, marker fits in nbits and max_errors < nbits.
sync_search* sync_search_create(std::uint64_t marker, std::uint32_t nbits, std::uint32_t max_errors, bool inverted);
void sync_search_destroy(sync_search* s);
void sync_search_reset(sync_search* s);
// The hits that end in x (at most one per bit); returns their count.
std::size_t sync_search_steps(sync_search* s, const std::uint8_t* x, std::size_t n, std::uint64_t* out,
                              std::size_t cap);
std::size_t sync_search_steps_max_out(const sync_search* s, std::size_t n);
std::size_t sync_search_state_bytes(const sync_search* s);
int sync_search_get_state(const sync_search* s, unsigned char* buf, std::size_t len);
int sync_search_set_state(sync_search* s, const unsigned char* buf, std::size_t len);

// The (24,12) Golay code: a codeword is 12 parity bits above the 12 data
// bits, parity bit i (i = 0 the codeword's bit 23) the parity of
// kGolayRows[i] & data.  decode repairs up to 3 bit errors (the code's
// radius) and returns the data, or -1 when more are certain.
std::uint32_t golay24_encode(std::uint32_t data);
std::int32_t golay24_decode(std::uint32_t word);

}  // namespace tb
