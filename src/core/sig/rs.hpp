// The (255,223) Reed-Solomon code of the CCSDS telemetry channel: symbols
// in GF(2^8) with field polynomial x^8+x^7+x^2+x+1 (0x187), 32 check
// symbols, generator roots gamma^j for j = 112..143 with gamma = alpha^11.
// Codeword symbols are in the dual basis (the standard's representation)
// or the conventional one; the first symbol is the highest-degree
// coefficient.  Tables are built once per process.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

inline constexpr std::size_t kRsN = 255, kRsK = 223, kRsParity = 32, kRsT = 16;
enum rs_basis : int { RS_DUAL = 0, RS_CONVENTIONAL = 1 };

// Conversions of one symbol between the conventional and the dual basis.
std::uint8_t rs_to_dual(std::uint8_t conventional);
std::uint8_t rs_from_dual(std::uint8_t dual);

// The 32 check symbols of 223 data symbols.
void rs_encode(const std::uint8_t* data, std::uint8_t* parity, int basis);
// Corrects a codeword of 255 symbols in place.  Without erasures it
// repairs up to 16 symbol errors; with f erasures (distinct positions
// 0..254 of symbols known to be unreliable, at most 32) it repairs e
// errors elsewhere as long as 2e + f <= 32.  Returns the symbols whose
// value changed (0 for a clean word), or -1 when the word cannot be
// decoded (it is then left as it was).
int rs_decode(std::uint8_t* codeword, int basis, const std::uint8_t* erasures = nullptr,
              std::size_t n_erasures = 0);

}  // namespace tb
