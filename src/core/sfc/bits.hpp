// Conversions between unpacked bits (one bit per byte; any non-zero byte
// reads as 1), integers, hex text and bipolar NRZ symbols.
//
// None of them fails loudly: a refusal returns 0 and writes nothing.  The
// integer and hex expansions are also what frame fields are built from.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

inline constexpr int kBitOrderBig = 0;     // most significant bit first
inline constexpr int kBitOrderLittle = 1;  // 8-bit groups from the top, each least significant bit first

// Writes the low n bits of v into out[0..n); returns n, or 0 (refused) when
// n is not 1..64, the bit order is unknown or out_len < n.
std::size_t int_to_bin(std::uint64_t v, std::size_t n, std::uint8_t* out, std::size_t out_len, int bitorder);
// The value of bits[0..n) (exact inverse of int_to_bin); 0 when n is not
// 1..64 or the bit order is unknown.
std::uint64_t bin_to_int(const std::uint8_t* bits, std::size_t n, int bitorder);
// Four bits per hex digit; returns 4*len, or 0 when the text is empty, holds a
// character that is not a hex digit, out is too short or the order unknown.
std::size_t hex_to_bin(const char* hex, std::size_t len, std::uint8_t* out, std::size_t out_len, int bitorder);
// n/4 lowercase digits then a NUL byte; returns the digit count, or 0 when n
// is 0 or not a multiple of 4, out cannot hold the digits and the NUL, or the
// order is unknown.
std::size_t bin_to_hex(const std::uint8_t* bits, std::size_t n, char* out, std::size_t out_len, int bitorder);
// Bit 0 -> +1.0f, bit 1 -> -1.0f; returns n, or 0 when n is 0 or out is short.
std::size_t bin_to_nrz(const std::uint8_t* bits, std::size_t n, float* out, std::size_t out_len);
// 1 for a negative symbol, else 0 (zero, -0.0 and NaN decide 0).
std::size_t nrz_to_bin(const float* nrz, std::size_t n, std::uint8_t* out, std::size_t out_len);

}  // namespace tb
