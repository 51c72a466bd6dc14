// Stateless helpers for stimuli and references: root-raised-cosine taps and
// analytic RRC/RC pulses at arbitrary times, the AWGN amplitude and Eb/N0
// conversions, BPSK and Gray-coded QPSK mapping, and the CRC-16 over
// unpacked bits.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/types.hpp"

namespace tb {

// 2 sps span + 1 taps of unit energy (zeros when sps or span is not
// positive); count must be that length.
void rrc_taps(double beta, int sps, int span, float* out, std::size_t count);
// The pulses at n times (symbol periods); zeros for beta outside [0, 1].
void rrc_h(const double* t, std::size_t n, double beta, double* out);
void rc_h(const double* t, std::size_t n, double beta, double* out);

// Per-component noise standard deviation for an SNR over the full sample
// rate: sqrt(P / (2 10^(snr/10))), single precision.
float sig_awgn_amplitude(float snr_db, float signal_power);
// Eb/N0 to the SNR over the full sample rate: ebno + 10 (log10 k - log10 sps).
float sig_ebno_to_snr_db(float ebno_db, int bits_per_symbol, float samples_per_symbol);

// Bit 0: 0 -> +1, 1 -> -1.
void bpsk_map(const std::uint8_t* bits, std::size_t n, cf32* out);
// Bit 0 negates I, bit 1 negates Q, both at 1/sqrt(2).
void qpsk_map(const std::uint8_t* syms, std::size_t n, cf32* out);

// CRC-16-CCITT over bit 0 of each byte, most significant first: register
// 0xFFFF, polynomial 0x1021, no reflection and no final XOR.
std::uint16_t crc16_bits(const std::uint8_t* bits, std::size_t n);

}  // namespace tb
