// The synthesiser: one streaming source of complex baseband test signals.
// Per sample, a symbol (PN chips, BPSK or QPSK from the PN register, a bit
// pattern, a symbol stream or a DSSS chip stream), optionally pulse shaped
// (an impulse-fed FIR, or a polyphase interpolator when the oversampling is
// a power of two), times a carrier (the table oscillator or a linear chirp),
// plus Gaussian noise at the requested SNR.  Deterministic from the seed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/types.hpp"
#include "core/lox/cic.hpp"
#include "core/lox/lo.hpp"
#include "core/lox/resamp.hpp"
#include "core/sig/awgn.hpp"
#include "core/sig/lfsr.hpp"

namespace tb {

enum sig_wtype : std::uint32_t {
  SIG_SYNTH_TONE = 0,
  SIG_SYNTH_NOISE = 1,
  SIG_SYNTH_PN = 2,
  SIG_SYNTH_BPSK = 3,
  SIG_SYNTH_QPSK = 4,
  SIG_SYNTH_CHIRP = 5,
  SIG_SYNTH_BITS = 6,
  SIG_SYNTH_SYMBOLS = 7,
  SIG_SYNTH_DSSS = 8,
};
enum sig_snr_mode : std::uint32_t { SIG_SNR_AUTO = 0, SIG_SNR_FS = 1, SIG_SNR_EBNO = 2, SIG_SNR_ESNO = 3 };

// At or above this SNR (dB) a signal carries no noise generator.
inline constexpr double kSigSynthSnrClean = 100.0;
// The fixed prefix of the state blob: header, positions, presence bytes.
inline constexpr std::size_t kSynthBlobFixed = 83;

struct sig_synth {
  std::uint32_t type = 0;
  std::int32_t nsps = 1;
  std::int32_t sym_pos = 0;
  float cur_re = 0.0f, cur_im = 0.0f;

  // carrier: oscillator (present when `has_lo`) or chirp
  double f_start = 0.0, f_stop = 0.0;
  double slope = 0.0, chirp_phase = 0.0;
  std::uint64_t chirp_n = 0, chirp_span = 0;

  // bit pattern source, with its symbols for the pattern's modulation
  std::vector<std::uint8_t> bits;
  std::uint64_t bit_pos = 0;
  std::uint32_t modulation = 1;
  cf32 gray[4] = {};

  // symbol stream source
  std::vector<cf32> syms;
  std::uint64_t sym_idx = 0;

  // DSSS source: configured by the DSSS calls
  double dsss_cps = 0.0;
  std::vector<std::uint8_t> dsss_code;
  std::uint32_t dsss_mode = 0;
  std::uint64_t dsss_code_syms = 0, dsss_frame_syms = 0;
  std::uint64_t dsss_chip = 0, dsss_last_sym = 0;
  std::uint8_t dsss_bit = 0;

  // optional parts, owned
  fir* shaper = nullptr;
  resamp* poly = nullptr;
  bool primed = false;
  bool has_lo = false;
  tb::lo osc{};
  bool has_noise = false;
  tb::awgn noise{};
  bool has_pn = false;
  tb::pn reg{};

  // block scratch: carrier and symbols (2048 each)
  std::vector<cf32> work;
  ~sig_synth();
};

// The maximal-length polynomial used when none is given.
std::uint64_t sig_synth_mls_poly(std::int32_t pn_length);

// nullptr on a missing polynomial or refused register for the PN-driven
// types, or on allocation failure.
sig_synth* sig_synth_create(std::uint32_t type, double fs, double freq, double snr, std::uint32_t snr_mode,
                            std::uint32_t seed, std::int32_t sps, std::int32_t pn_length, std::uint64_t pn_poly,
                            int lfsr, double f_end);
void sig_synth_destroy(sig_synth* s);
void sig_synth_reset(sig_synth* s);

cf32 sig_synth_step(sig_synth* s);
void sig_synth_steps(sig_synth* s, cf32* out, std::size_t n);

// Configuration: 0 on success (also when the call does not apply to this
// type), -1 when refused.
int sig_synth_set_rrc(sig_synth* s, const float* taps, std::size_t count);
int sig_synth_set_symbols(sig_synth* s, const cf32* symbols, std::size_t count);
int sig_synth_set_bits(sig_synth* s, const std::uint8_t* pattern, std::size_t len, std::uint32_t modulation);
// The DSSS burst: acq repeated acq_reps times, then every bit of the frame
// [sync | payload | CRC-16 when crc] spread by the data code (a one inverts
// a code period); installed as a BPSK bit pattern.  -1 when there is a frame
// but no data code, or nothing at all.  Other types ignore the call.
int sig_synth_set_dsss(sig_synth* s, const std::uint8_t* acq, std::size_t acq_len, std::uint64_t acq_reps,
                       const std::uint8_t* data_code, std::size_t data_len, const std::uint8_t* payload,
                       std::size_t payload_len, const std::uint8_t* sync, std::size_t sync_len, int crc);
// Continuous DSSS: the code repeats, data (0 none, 1 the payload bits, 2 the
// PN register) rides on it at chips_per_symbol (>= 1, any real) chips per bit.
int sig_synth_set_dsss_cont(sig_synth* s, const std::uint8_t* code, std::size_t code_len, double chips_per_symbol,
                            std::uint32_t mode, const std::uint8_t* payload, std::size_t payload_len);
// The first code_only_symbols of every frame_symbols carry the bare code
// (frame_symbols 0: no window).
void sig_synth_set_dsss_window(sig_synth* s, std::uint64_t code_only_symbols, std::uint64_t frame_symbols);
// out[i sf + j] = syms[i], negated where code[j] is 1; zeros when the code
// holds fewer than sf chips.
void dsss_spread(const cf32* syms, std::size_t n, const std::uint8_t* code, std::size_t code_len, std::size_t sf,
                 cf32* out);
void sig_synth_set_chirp_span(sig_synth* s, std::uint64_t span);

// The per-component noise amplitude for an SNR in dB over the full sample
// rate of a unit-power signal.
float sig_synth_noise_amplitude(double snr_fs_db);

std::size_t sig_synth_state_bytes(const sig_synth* s);
int sig_synth_get_state(const sig_synth* s, unsigned char* buf, std::size_t len);
int sig_synth_set_state(sig_synth* s, const unsigned char* buf, std::size_t len);

}  // namespace tb
