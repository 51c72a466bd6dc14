// The frame stages' kernels over unpacked bits (one bit per byte, bit 0
// counts): CRC-16, the block interleaver, the two randomiser sets, the
// rate-1/2 K=7 convolutional encoder and the interleaved (255,223)
// Reed-Solomon outer code.  Each apply works in place on a stage's span;
// each undo reports what it checked and repaired.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

enum sig_stage_kind : std::uint32_t {
  STAGE_CRC16 = 0,
  STAGE_RS = 1,
  STAGE_RANDOMISE = 2,
  STAGE_CONV = 3,
  STAGE_INTERLEAVE = 4,
  SIG_STAGE_USER = 0x1000,
};

struct sig_stage_result {
  std::uint32_t units;      // checks performed
  std::uint32_t ok;         // checks that came out good, clean or repaired
  std::uint32_t corrected;  // checks that needed and received repair
  std::uint32_t symbols;    // symbol errors repaired
  std::uint32_t reversed;   // 1 when the stage was undone
};

// CRC-16 of the first span - 16 bits into (apply) or against (undo) the
// last 16, most significant first.  -1 when the span is too short.
int stage_crc16_apply(std::uint8_t* bits, std::size_t n);
int stage_crc16_undo(const std::uint8_t* bits, std::size_t n, sig_stage_result* res);

// Block interleaver of `rows` rows (0 reads as 1) of units of unit_bits bits
// (0 reads as 1): -1 unless the span is a non-zero multiple of rows x unit.
int stage_interleave_apply(std::uint8_t* bits, std::size_t n, std::uint32_t rows, std::uint32_t unit_bits);
int stage_interleave_undo(std::uint8_t* bits, std::size_t n, std::uint32_t rows, std::uint32_t unit_bits,
                          sig_stage_result* res);

// The pseudo-random sequence XORed onto the span from its seed: depth 2
// selects the telemetry set (taps 0x95, seed 0xFF, 8 stages), any other
// depth the 17-stage set (taps 0x10004, seed 0x38E3).  Its own inverse.
void stage_randomise(std::uint8_t* bits, std::size_t n, std::uint32_t depth);

// Rate 1/2, K = 7, generators 0x79 and 0x5B, second output inverted; the
// register starts at zero.  Writes 2 n bits while they fit; returns 2 n, or
// 0 when out is too small (nothing written).
std::size_t stage_conv_encode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap);

// Reed-Solomon over a span of depth codewords (depth 1..5 or 8): depth x k
// data octets then depth x 32 check octets, codeword j taking octets j,
// j + depth, ...; octets packed most significant bit first.  options bit 0
// selects the conventional basis (else the dual basis), bit 1 shortened
// codewords (k < 223, the leading octets virtual zeros); without bit 1 the
// span must be exactly depth x 2040 bits (k = 223).  Other options refuse.
int stage_rs_apply(std::uint8_t* bits, std::size_t n, std::uint32_t depth, std::uint32_t options);
int stage_rs_undo(std::uint8_t* bits, std::size_t n, std::uint32_t depth, std::uint32_t options,
                  sig_stage_result* res);

}  // namespace tb
