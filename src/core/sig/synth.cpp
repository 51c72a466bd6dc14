#include "core/sig/synth.hpp"

#include "core/sig/frame.hpp"
#include "platform/memory.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'S', 'I', 'G', 'S'};
constexpr std::uint16_t kVersion = 2;
constexpr std::size_t kBlock = 2048;
constexpr float kQpskLevel = 0.70710677f;

inline bool holds_unit(std::uint32_t type) { return type == SIG_SYNTH_TONE || type == SIG_SYNTH_CHIRP; }
inline bool pn_driven(std::uint32_t type) {
  return type == SIG_SYNTH_PN || type == SIG_SYNTH_BPSK || type == SIG_SYNTH_QPSK;
}
// set_rrc applies to every symbol-driven type.
inline bool shapeable(std::uint32_t type) {
  return type <= SIG_SYNTH_DSSS && type != SIG_SYNTH_TONE && type != SIG_SYNTH_NOISE && type != SIG_SYNTH_CHIRP;
}

// One symbol of the bit pattern: m bits, most significant first, Gray
// coded onto the unit circle (or on-off keying for m = 0).
cf32 pattern_symbol(sig_synth* s) {
  const std::size_t len = s->bits.size();
  if (len == 0) return {};
  if (s->modulation == 0) {
    const std::uint8_t b = s->bits[s->bit_pos];
    s->bit_pos = s->bit_pos + 1 == len ? 0 : s->bit_pos + 1;
    return b ? cf32{1.0f, 0.0f} : cf32{};
  }
  std::uint32_t v = 0;
  for (std::uint32_t j = 0; j < s->modulation; ++j) {
    v = (v << 1) | s->bits[s->bit_pos];
    s->bit_pos = s->bit_pos + 1 == len ? 0 : s->bit_pos + 1;
  }
  return s->gray[v];
}

// One chip of the continuous DSSS source: the code repeats without end and
// the data bit changes where the integer part of chips / chips_per_symbol
// does, except on the code-only symbols that open each window frame.
cf32 dsss_chip(sig_synth* s) {
  const std::uint64_t n = s->dsss_chip;
  const double q = static_cast<double>(n) / s->dsss_cps;
  const std::uint64_t sym = q < 18446744073709549568.0 ? static_cast<std::uint64_t>(q) : UINT64_MAX;
  if (n == 0 || sym != s->dsss_last_sym) {
    s->dsss_last_sym = sym;
    const std::uint64_t a = s->dsss_code_syms, f = s->dsss_frame_syms;
    std::uint8_t d = 0;
    if (f != 0 && sym % f < a) {
      d = 0;
    } else if (s->dsss_mode == 1 && !s->bits.empty()) {
      const std::uint64_t idx = f != 0 ? (sym % f) - a + (f - a) * (sym / f) : sym;
      d = s->bits[idx % s->bits.size()] & 1u;
    } else if (s->dsss_mode == 2 && s->has_pn) {
      d = pn_step(&s->reg) & 1u;
    }
    s->dsss_bit = d;
  }
  const std::uint8_t c = s->dsss_code.empty() ? 0 : s->dsss_code[n % s->dsss_code.size()];
  s->dsss_chip = n + 1;
  return {c == s->dsss_bit ? 1.0f : -1.0f, 0.0f};
}

// The next symbol of the type's source.  Types without a source of their
// own (tone, noise, chirp and unknown ones) give the held symbol; a
// PN-driven type without a register (its type overwritten) gives zeros.
cf32 next_source(sig_synth* s) {
  switch (s->type) {
    case SIG_SYNTH_PN:
    case SIG_SYNTH_BPSK:
      if (!s->has_pn) return {};
      return {pn_step(&s->reg) ? -1.0f : 1.0f, 0.0f};
    case SIG_SYNTH_QPSK: {
      if (!s->has_pn) return {};
      const float i = pn_step(&s->reg) ? -kQpskLevel : kQpskLevel;
      const float q = pn_step(&s->reg) ? -kQpskLevel : kQpskLevel;
      return {i, q};
    }
    case SIG_SYNTH_SYMBOLS: {
      const std::size_t count = s->syms.size();
      if (count == 0) return {};
      const cf32 v = s->syms[s->sym_idx];
      s->sym_idx = s->sym_idx + 1 == count ? 0 : s->sym_idx + 1;
      return v;
    }
    case SIG_SYNTH_BITS:
    case SIG_SYNTH_DSSS:
      return s->dsss_cps > 0.0 ? dsss_chip(s) : pattern_symbol(s);
    default:
      return {s->cur_re, s->cur_im};
  }
}

// One output of the polyphase shaper, feeding the symbol it asks for.
inline cf32 shaped(sig_synth* s) {
  bool want;
  const cf32 y = resamp_up_next(s->poly, &want);
  if (want) resamp_feed(s->poly, next_source(s));
  return y;
}

void carrier_block(sig_synth* s, cf32* c, std::size_t n) {
  if (s->has_lo) {
    lo_generate(&s->osc, n, c, n);
  } else if (s->type == SIG_SYNTH_CHIRP) {
    double phase = s->chirp_phase;
    std::uint64_t k = s->chirp_n;
    const std::uint64_t span = s->chirp_span;
    for (std::size_t i = 0; i < n; ++i, ++k) {
      const std::uint64_t m = span == 0 ? k : std::min(k, span);
      const float theta = static_cast<float>(phase * kTwoPi);
      c[i] = {std::cos(theta), std::sin(theta)};
      phase = phase + s->f_start + static_cast<double>(m) * s->slope;
      phase -= std::floor(phase);
    }
    s->chirp_phase = phase;
    s->chirp_n = k;
  } else {
    std::fill(c, c + n, cf32{1.0f, 0.0f});
  }
}

inline bool has_carrier(const sig_synth* s) { return s->has_lo || s->type == SIG_SYNTH_CHIRP; }

void noise_block(sig_synth* s, cf32* w, std::size_t n) {
  if (s->has_noise)
    awgn_generate(&s->noise, w, n);
  else
    std::fill(w, w + n, cf32{});
}

// Whether the type latches a symbol of its own at each symbol start.
inline bool latches(std::uint32_t type) {
  return type != SIG_SYNTH_TONE && type != SIG_SYNTH_NOISE && type != SIG_SYNTH_CHIRP && type <= SIG_SYNTH_DSSS;
}

// Steps from position p until the position is next 0 (where a symbol is
// latched): the rest of the hold, one step from at or past nsps (the step
// rule wraps there), and -p from a negative position, which counts up.
inline std::int64_t run_to_zero(std::int64_t p, std::int64_t nsps) {
  return p < 0 ? -p : p >= nsps ? 1 : nsps - p;
}

// The symbol position after `steps` steps from p (the latch-free advance).
inline std::int32_t advance_pos(std::int64_t p, std::int64_t nsps, std::uint64_t steps) {
  const std::int64_t run = run_to_zero(p, nsps);
  if (steps < static_cast<std::uint64_t>(run)) return static_cast<std::int32_t>(p + static_cast<std::int64_t>(steps));
  return static_cast<std::int32_t>((steps - static_cast<std::uint64_t>(run)) % static_cast<std::uint64_t>(nsps));
}

// The block's symbols.  Returns true when they are all the held symbol
// (no shaper, nothing latched): only y[0] is then written.
bool symbol_block(sig_synth* s, cf32* y, std::size_t n) {
  if (s->poly) {
    if (!s->primed) {
      for (std::int32_t i = 0; i < s->nsps; ++i) shaped(s);
      s->primed = true;
    }
    for (std::size_t i = 0; i < n; ++i) y[i] = shaped(s);
    return false;
  }
  const std::int64_t nsps = s->nsps;
  if (!s->shaper && !latches(s->type)) {
    y[0] = {s->cur_re, s->cur_im};
    s->sym_pos = advance_pos(s->sym_pos, nsps, n);
    return true;
  }
  // Runs of one held symbol: a new one is latched where sym_pos is 0.
  std::size_t i = 0;
  while (i < n) {
    const std::int64_t p = s->sym_pos;
    const std::int64_t run = run_to_zero(p, nsps);
    if (p == 0 && latches(s->type)) {
      const cf32 v = next_source(s);
      s->cur_re = v.real();
      s->cur_im = v.imag();
    }
    const std::size_t cnt = static_cast<std::size_t>(std::min<std::int64_t>(run, static_cast<std::int64_t>(n - i)));
    const cf32 cur{s->cur_re, s->cur_im};
    if (s->shaper) {  // an impulse per symbol into the filter
      y[i] = p == 0 ? cur : cf32{};
      std::fill(y + i + 1, y + i + cnt, cf32{});
    } else {
      std::fill(y + i, y + i + cnt, cur);
    }
    i += cnt;
    s->sym_pos = advance_pos(p, nsps, cnt);
  }
  if (s->shaper) fir_execute(s->shaper, y, n, y);  // room reserved at set_rrc
  return false;
}

// out = symbol x carrier + noise, in that order of operations; a missing
// carrier is (1, 0), missing noise (0, 0), and a constant symbol y[0].
template <bool Carrier, bool Noise, bool Const>
void combine(const cf32* y, const cf32* c, const cf32* w, cf32* out, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    const cf32 sy = Const ? y[0] : y[j];
    const float sr = sy.real(), si = sy.imag();
    const float cr = Carrier ? c[j].real() : 1.0f, ci = Carrier ? c[j].imag() : 0.0f;
    const float re = sr * cr - si * ci;
    const float im = si * cr + sr * ci;
    const float wr = Noise ? w[j].real() : 0.0f, wi = Noise ? w[j].imag() : 0.0f;
    out[j] = {re + wr, im + wi};
  }
}

template <bool Carrier, bool Noise>
void combine_as(bool constant, const cf32* y, const cf32* c, const cf32* w, cf32* out, std::size_t n) {
  if (constant)
    combine<Carrier, Noise, true>(y, c, w, out, n);
  else
    combine<Carrier, Noise, false>(y, c, w, out, n);
}

void free_shapers(sig_synth* s) {
  fir_destroy(s->shaper);
  resamp_destroy(s->poly);
  s->shaper = nullptr;
  s->poly = nullptr;
}

}  // namespace

sig_synth::~sig_synth() { free_shapers(this); }

std::uint64_t sig_synth_mls_poly(std::int32_t pn_length) {
  return pn_length < 0 ? 0 : mls_poly(static_cast<std::uint32_t>(pn_length));
}

float sig_synth_noise_amplitude(double snr_fs_db) {
  return std::sqrt(std::pow(10.0f, static_cast<float>(snr_fs_db) * -0.1f) * 0.5f);
}

sig_synth* sig_synth_create(std::uint32_t type, double fs, double freq, double snr, std::uint32_t snr_mode,
                            std::uint32_t seed, std::int32_t sps, std::int32_t pn_length, std::uint64_t pn_poly,
                            int lfsr, double f_end) {
  if (std::isnan(snr)) return nullptr;
  sig_synth* s = new (std::nothrow) sig_synth;
  if (!s) return nullptr;
  try {
    s->work.resize(2 * kBlock);
  } catch (...) {
    delete s;
    return nullptr;
  }
  s->type = type;
  s->nsps = std::max(sps, 1);
  s->cur_re = holds_unit(type) ? 1.0f : 0.0f;
  if (fs != 0.0) {
    s->f_start = freq / fs;
    s->f_stop = f_end / fs;
  }
  s->modulation = 1;

  if (type != SIG_SYNTH_NOISE && type != SIG_SYNTH_CHIRP && freq != 0.0) {
    lo_init(&s->osc, s->f_start);
    s->has_lo = true;
  }

  if (pn_driven(type) || type == SIG_SYNTH_DSSS) {
    const std::uint64_t poly = pn_poly != 0 ? pn_poly : sig_synth_mls_poly(pn_length);
    const bool made = poly != 0 && pn_length > 0 &&
                      pn_init(&s->reg, poly, seed != 0 ? seed : 1u, static_cast<std::uint32_t>(pn_length), lfsr);
    if (!made && type != SIG_SYNTH_DSSS) {
      delete s;
      return nullptr;
    }
    s->has_pn = made;
  }

  if (type == SIG_SYNTH_NOISE) {
    awgn_init(&s->noise, seed, 0.70710677f);
    s->has_noise = true;
  } else if (snr < kSigSynthSnrClean) {
    std::uint32_t mode = snr_mode;
    if (mode == SIG_SNR_AUTO) mode = (type == SIG_SYNTH_BPSK || type == SIG_SYNTH_QPSK) ? SIG_SNR_ESNO : SIG_SNR_FS;
    double fs_db = snr;
    const double nsps = static_cast<double>(s->nsps);
    if (mode == SIG_SNR_ESNO) {
      fs_db = snr - 10.0 * std::log10(nsps);
    } else if (mode == SIG_SNR_EBNO) {
      const double k = type == SIG_SYNTH_QPSK ? 2.0 : 1.0;
      fs_db = snr + 10.0 * (std::log10(k) - std::log10(nsps));
    }
    awgn_init(&s->noise, seed, sig_synth_noise_amplitude(fs_db));
    s->has_noise = true;
  }
  return s;
}

void sig_synth_destroy(sig_synth* s) { delete s; }

void sig_synth_reset(sig_synth* s) {
  s->sym_pos = 0;
  s->cur_re = holds_unit(s->type) ? 1.0f : 0.0f;
  s->cur_im = 0.0f;
  s->bit_pos = s->sym_idx = 0;
  s->chirp_phase = 0.0;
  s->chirp_n = 0;
  s->dsss_chip = s->dsss_last_sym = 0;
  s->dsss_bit = 0;
  if (s->shaper) fir_reset(s->shaper);
  if (s->poly) resamp_reset(s->poly);
  s->primed = false;
  if (s->has_lo) lo_reset(&s->osc);
  if (s->has_noise) awgn_reset(&s->noise);
  if (s->has_pn) pn_reset(&s->reg);
}

cf32 sig_synth_step(sig_synth* s) {
  cf32 c, w, y;
  carrier_block(s, &c, 1);
  noise_block(s, &w, 1);
  symbol_block(s, &y, 1);
  const float re = (w.real() + y.real() * c.real()) - y.imag() * c.imag();
  const float im = (c.real() * y.imag() + c.imag() * y.real()) + w.imag();
  return {re, im};
}

void sig_synth_steps(sig_synth* s, cf32* out, std::size_t n) {
  cf32* c = s->work.data();
  cf32* y = c + kBlock;
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t m = std::min(kBlock, n - i);
    cf32* o = out + i;
    const bool carrier = has_carrier(s);
    if (carrier) carrier_block(s, c, m);
    if (s->has_noise) awgn_generate(&s->noise, o, m);  // the output block holds the noise until combined
    const bool constant = symbol_block(s, y, m);
    if (carrier)
      s->has_noise ? combine_as<true, true>(constant, y, c, o, o, m) : combine_as<true, false>(constant, y, c, o, o, m);
    else
      s->has_noise ? combine_as<false, true>(constant, y, c, o, o, m)
                   : combine_as<false, false>(constant, y, c, o, o, m);
  }
}

int sig_synth_set_rrc(sig_synth* s, const float* taps, std::size_t count) {
  if (!shapeable(s->type)) return 0;
  if (count == 0 || taps == nullptr || s->nsps < 1) return -1;
  const std::uint64_t l = static_cast<std::uint64_t>(s->nsps);
  const float gain = std::sqrt(static_cast<float>(s->nsps));
  try {
    if (std::has_single_bit(l)) {
      // Phase i, tap j of the interpolator is tap i + L j of the pulse.
      const std::uint64_t g = (count + l - 1) / l;
      std::vector<float> bank(l * g, 0.0f);
      for (std::uint64_t i = 0; i < l; ++i)
        for (std::uint64_t j = 0; j < g; ++j)
          if (i + l * j < count) bank[i * g + j] = taps[i + l * j] * gain;
      resamp* r = resamp_create(l, g, bank.data(), static_cast<double>(l));
      if (!r) return -1;
      free_shapers(s);
      s->poly = r;
      s->primed = false;
    } else {
      std::vector<float> scaled(taps, taps + count);
      for (float& t : scaled) t *= gain;
      fir* f = fir_create(scaled.data(), count);
      if (!f) return -1;
      if (!fir_reserve(f, kBlock)) {
        fir_destroy(f);
        return -1;
      }
      free_shapers(s);
      s->shaper = f;
    }
  } catch (...) {
    return -1;
  }
  return 0;
}

int sig_synth_set_symbols(sig_synth* s, const cf32* symbols, std::size_t count) {
  if (s->type != SIG_SYNTH_SYMBOLS) return 0;
  if (count == 0 || symbols == nullptr) return -1;
  try {
    s->syms.assign(symbols, symbols + count);
  } catch (...) {
    return -1;
  }
  s->sym_idx = 0;
  return 0;
}

namespace {

// Installs a bit pattern (any non-zero byte is 1) with its modulation's
// symbol table; -1 (nothing changed) when the copy cannot be had.
int install_pattern(sig_synth* s, const std::uint8_t* pattern, std::size_t len, std::uint32_t modulation) {
  std::vector<std::uint8_t> bits;
  try {
    bits.resize(len);
  } catch (...) {
    return -1;
  }
  for (std::size_t i = 0; i < len; ++i) bits[i] = pattern[i] != 0;
  s->bits.swap(bits);
  s->bit_pos = 0;
  s->modulation = modulation;
  // The symbol of each m-bit word: Gray-decoded, then the phase 2 pi v / 2^m
  // (plus pi/4 for m = 2), evaluated in double precision.
  if (modulation > 0) {
    const std::uint32_t words = 1u << modulation;
    for (std::uint32_t g = 0; g < words; ++g) {
      std::uint32_t v = g;
      for (std::uint32_t t = g >> 1; t; t >>= 1) v ^= t;
      double phi = kTwoPi * static_cast<double>(v) / static_cast<double>(words);
      if (modulation == 2) phi += kPi / 4.0;
      s->gray[g] = {static_cast<float>(std::cos(phi)), static_cast<float>(std::sin(phi))};
    }
  }
  return 0;
}

}  // namespace

int sig_synth_set_bits(sig_synth* s, const std::uint8_t* pattern, std::size_t len, std::uint32_t modulation) {
  if (s->type != SIG_SYNTH_BITS) return 0;
  if (len == 0 || pattern == nullptr || modulation > 2) return -1;
  return install_pattern(s, pattern, len, modulation);
}

int sig_synth_set_dsss(sig_synth* s, const std::uint8_t* acq, std::size_t acq_len, std::uint64_t acq_reps,
                       const std::uint8_t* data_code, std::size_t data_len, const std::uint8_t* payload,
                       std::size_t payload_len, const std::uint8_t* sync, std::size_t sync_len, int crc) {
  if (s->type != SIG_SYNTH_DSSS) return 0;
  // The framed message [sync | payload | CRC-16], laid out and materialised
  // by the frame description code.
  std::vector<std::uint8_t> frame;
  try {
    sig_seq none, sy, pay;
    sy.lit.assign(sync, sync + sync_len);
    sy.length = sync_len;
    pay.lit.assign(payload, payload + payload_len);
    pay.length = payload_len;
    if (sync_len + payload_len > 0) {
      sig_frame* f = frame_create_four(none, 0, sy, pay, crc != 0, true);
      if (!f) return -1;
      frame = f->bits;
      frame_destroy(f);
    }
  } catch (...) {
    return -1;
  }
  const std::uint64_t frame_bits = frame.size();
  if (frame_bits != 0 && data_len == 0) return -1;
  if (acq_len != 0 && acq_reps > (std::uint64_t{1} << 40) / acq_len) return -1;
  if (data_len != 0 && frame_bits > (std::uint64_t{1} << 40) / data_len) return -1;
  const std::uint64_t total = acq_len * acq_reps + data_len * frame_bits;
  if (total == 0 || !platform::fits_in_memory(total, 1)) return -1;
  std::vector<std::uint8_t> burst;
  try {
    burst.reserve(total);
  } catch (...) {
    return -1;
  }
  for (std::uint64_t r = 0; r < acq_reps; ++r)
    for (std::size_t i = 0; i < acq_len; ++i) burst.push_back(acq[i] & 1u);
  for (std::uint8_t f : frame)
    for (std::size_t i = 0; i < data_len; ++i) burst.push_back((data_code[i] & 1u) ^ (f & 1u));
  return install_pattern(s, burst.data(), burst.size(), 1);
}

int sig_synth_set_dsss_cont(sig_synth* s, const std::uint8_t* code, std::size_t code_len, double chips_per_symbol,
                            std::uint32_t mode, const std::uint8_t* payload, std::size_t payload_len) {
  if (s->type != SIG_SYNTH_DSSS) return 0;
  if (mode > 2 || code_len == 0 || !(chips_per_symbol >= 1.0) || (mode == 1 && payload_len == 0) ||
      (mode == 2 && !s->has_pn))
    return -1;
  std::vector<std::uint8_t> c;
  try {
    c.resize(code_len);
  } catch (...) {
    return -1;
  }
  for (std::size_t i = 0; i < code_len; ++i) c[i] = code[i] & 1u;
  static const std::uint8_t kNone = 0;
  if (install_pattern(s, mode == 1 ? payload : &kNone, mode == 1 ? payload_len : 0, 1) != 0) return -1;
  s->dsss_code.swap(c);
  s->dsss_cps = chips_per_symbol;
  s->dsss_mode = mode;
  s->dsss_chip = 0;
  s->dsss_bit = 0;
  return 0;
}

void sig_synth_set_dsss_window(sig_synth* s, std::uint64_t code_only_symbols, std::uint64_t frame_symbols) {
  if (s->type != SIG_SYNTH_DSSS) return;
  s->dsss_code_syms = code_only_symbols;
  s->dsss_frame_syms = frame_symbols;
}

void dsss_spread(const cf32* syms, std::size_t n, const std::uint8_t* code, std::size_t code_len, std::size_t sf,
                 cf32* out) {
  if (code_len < sf) {
    std::fill(out, out + n * sf, cf32{});
    return;
  }
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < sf; ++j)
      out[i * sf + j] = (code[j] & 1u) ? cf32{-syms[i].real(), -syms[i].imag()} : syms[i];
}

void sig_synth_set_chirp_span(sig_synth* s, std::uint64_t span) {
  if (s->type != SIG_SYNTH_CHIRP || span == 0 || s->chirp_span != 0) return;
  s->chirp_span = span;
  s->slope = (s->f_stop - s->f_start) / static_cast<double>(span);
}

// ---------------------------------------------------------------------------
// State

std::size_t sig_synth_state_bytes(const sig_synth* s) {
  std::size_t n = kSynthBlobFixed;
  if (s->shaper) n += fir_state_bytes(s->shaper);
  if (s->poly) n += resamp_state_bytes(s->poly);
  if (s->has_lo) n += kLoBlobBytes;
  if (s->has_noise) n += kAwgnBlobBytes;
  if (s->has_pn) n += kPnBlobBytes;
  return n;
}

int sig_synth_get_state(const sig_synth* s, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, sig_synth_state_bytes(s));
  w.put<std::int32_t>(s->sym_pos);
  w.put<float>(s->cur_re);
  w.put<float>(s->cur_im);
  w.put<std::uint64_t>(s->bit_pos);
  w.put<std::uint64_t>(s->sym_idx);
  w.put<double>(s->chirp_phase);
  w.put<std::uint64_t>(s->chirp_n);
  w.put<std::uint64_t>(s->dsss_chip);
  w.put<std::uint64_t>(s->dsss_last_sym);
  w.put<std::uint8_t>(s->dsss_bit);
  w.put<std::uint8_t>(s->primed);
  w.put<std::uint8_t>(s->shaper != nullptr);
  w.put<std::uint8_t>(s->poly != nullptr);
  w.put<std::uint8_t>(s->has_lo);
  w.put<std::uint8_t>(s->has_noise);
  w.put<std::uint8_t>(s->has_pn);
  if (s->shaper)
    w.child(fir_state_bytes(s->shaper), [s](unsigned char* p, std::size_t n) { return fir_get_state(s->shaper, p, n); });
  if (s->poly)
    w.child(resamp_state_bytes(s->poly),
            [s](unsigned char* p, std::size_t n) { return resamp_get_state(s->poly, p, n); });
  if (s->has_lo)
    w.child(kLoBlobBytes, [s](unsigned char* p, std::size_t n) { return lo_get_state(&s->osc, p, n); });
  if (s->has_noise)
    w.child(kAwgnBlobBytes, [s](unsigned char* p, std::size_t n) { return awgn_get_state(&s->noise, p, n); });
  if (s->has_pn) w.child(kPnBlobBytes, [s](unsigned char* p, std::size_t n) { return pn_get_state(&s->reg, p, n); });
  return w.status();
}

int sig_synth_set_state(sig_synth* s, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, sig_synth_state_bytes(s));
  const std::int32_t sym_pos = r.get<std::int32_t>();
  const float cur_re = r.get<float>(), cur_im = r.get<float>();
  const std::uint64_t bit_pos = r.get<std::uint64_t>(), sym_idx = r.get<std::uint64_t>();
  const double chirp_phase = r.get<double>();
  const std::uint64_t chirp_n = r.get<std::uint64_t>();
  const std::uint64_t dsss_chip = r.get<std::uint64_t>(), dsss_last = r.get<std::uint64_t>();
  const std::uint8_t dsss_bit = r.get<std::uint8_t>(), primed = r.get<std::uint8_t>();
  const bool present[5] = {s->shaper != nullptr, s->poly != nullptr, s->has_lo, s->has_noise, s->has_pn};
  for (bool p : present)
    if (r.get<std::uint8_t>() != static_cast<std::uint8_t>(p)) return kStatusRefused;
  if (!r.ok()) return kStatusRefused;
  // Read positions must index the attached pattern and stream.
  auto in_range = [](std::uint64_t pos, std::size_t size) { return size == 0 ? pos == 0 : pos < size; };
  if (!in_range(bit_pos, s->bits.size()) || !in_range(sym_idx, s->syms.size()) || primed > 1 || dsss_bit > 1)
    return kStatusRefused;
  // Every part is checked before anything changes.
  BlobSpan fir_b, poly_b, lo_b, noise_b, pn_b;
  if (s->shaper) fir_b = r.child();
  if (s->poly) poly_b = r.child();
  if (s->has_lo) lo_b = r.child();
  if (s->has_noise) noise_b = r.child();
  if (s->has_pn) pn_b = r.child();
  if (!r.ok()) return kStatusRefused;
  tb::lo probe = s->osc;
  if ((s->shaper && fir_check_state(s->shaper, fir_b.p, fir_b.n) != 0) ||
      (s->poly && resamp_check_state(s->poly, poly_b.p, poly_b.n) != 0) ||
      (s->has_lo && lo_set_state(&probe, lo_b.p, lo_b.n) != 0) ||
      (s->has_noise && awgn_check_state(noise_b.p, noise_b.n) != 0) ||
      (s->has_pn && pn_check_state(&s->reg, pn_b.p, pn_b.n) != 0))
    return kStatusRefused;
  if (!r.ok() || r.left() != 0) return kStatusRefused;

  s->sym_pos = sym_pos;
  s->cur_re = cur_re;
  s->cur_im = cur_im;
  s->bit_pos = bit_pos;
  s->sym_idx = sym_idx;
  s->chirp_phase = chirp_phase;
  s->chirp_n = chirp_n;
  s->dsss_chip = dsss_chip;
  s->dsss_last_sym = dsss_last;
  s->dsss_bit = dsss_bit;
  s->primed = primed != 0;
  if (s->shaper) fir_set_state(s->shaper, fir_b.p, fir_b.n);
  if (s->poly) resamp_set_state(s->poly, poly_b.p, poly_b.n);
  if (s->has_lo) lo_set_state(&s->osc, lo_b.p, lo_b.n);
  if (s->has_noise) awgn_set_state(&s->noise, noise_b.p, noise_b.n);
  if (s->has_pn) pn_set_state(&s->reg, pn_b.p, pn_b.n);
  return 0;
}

}  // namespace tb
