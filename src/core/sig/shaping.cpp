#include "core/sig/shaping.hpp"

#include <cmath>

#include "core/common/numeric.hpp"
#include "core/lox/pulse.hpp"

namespace tb {

void rrc_taps(double beta, int sps, int span, float* out, std::size_t count) {
  for (std::size_t j = 0; j < count; ++j) out[j] = 0.0f;
  if (sps <= 0 || span <= 0) return;
  const std::int64_t b = static_cast<std::int64_t>(sps) * span;
  const double step = 1.0 / static_cast<double>(sps);
  double energy = 0.0;
  for (std::size_t j = 0; j < count; ++j) {
    const double h = rrc_pulse(static_cast<double>(static_cast<std::int64_t>(j) - b) * step, beta);
    out[j] = static_cast<float>(h);
    energy += h * h;
  }
  if (energy == 0.0) return;
  const double g = 1.0 / std::sqrt(energy);
  for (std::size_t j = 0; j < count; ++j) out[j] = static_cast<float>(static_cast<double>(out[j]) * g);
}

void rrc_h(const double* t, std::size_t n, double beta, double* out) {
  const bool valid = beta >= 0.0 && beta <= 1.0;
  for (std::size_t i = 0; i < n; ++i) out[i] = valid ? rrc_pulse(t[i], beta) : 0.0;
}

void rc_h(const double* t, std::size_t n, double beta, double* out) {
  const bool valid = beta >= 0.0 && beta <= 1.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = t[i];
    double h = 0.0;
    if (!valid)
      h = 0.0;
    else if (std::fabs(x) < 1e-9)
      h = 1.0;
    else if (beta > 0.0 && std::fabs(std::fabs(x) - 0.5 / beta) < 1e-9)
      h = beta / 2.0 * std::sin(kPi / (2.0 * beta));
    else {
      const double bt = 2.0 * beta * x;
      h = std::sin(kPi * x) / (kPi * x) * (std::cos(kPi * beta * x) / (1.0 - bt * bt));
    }
    out[i] = h;
  }
}

float sig_awgn_amplitude(float snr_db, float signal_power) {
  return std::sqrt(signal_power / (2.0f * std::pow(10.0f, snr_db * 0.1f)));
}

float sig_ebno_to_snr_db(float ebno_db, int bits_per_symbol, float samples_per_symbol) {
  return ebno_db + 10.0f * (std::log10(static_cast<float>(bits_per_symbol)) - std::log10(samples_per_symbol));
}

void bpsk_map(const std::uint8_t* bits, std::size_t n, cf32* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = {(bits[i] & 1u) ? -1.0f : 1.0f, 0.0f};
}

void qpsk_map(const std::uint8_t* syms, std::size_t n, cf32* out) {
  constexpr float a = 0.70710677f;
  for (std::size_t i = 0; i < n; ++i) out[i] = {(syms[i] & 1u) ? -a : a, (syms[i] & 2u) ? -a : a};
}

std::uint16_t crc16_bits(const std::uint8_t* bits, std::size_t n) {
  std::uint32_t reg = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t fb = (bits[i] & 1u) ^ ((reg >> 15) & 1u);
    reg = ((reg << 1) ^ (fb ? 0x1021u : 0u)) & 0xFFFFu;
  }
  return static_cast<std::uint16_t>(reg);
}

}  // namespace tb
