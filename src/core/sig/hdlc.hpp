// HDLC framing of AX.25 links, both directions, bit by bit.
//
// Receive (hdlc_rx): hard channel bits in; optionally the G3RUH descrambler
// (1 + x^12 + x^17, self-synchronising), then NRZI decoding (no change of
// level is a 1), flag search, removal of stuffed zeros, and the frame check
// sequence (CRC-16/X.25, low byte first).  Out come records of the frames
// that pass, each
//   u32 length (little-endian) | u64 stream index of the closing flag's
//   last bit | the frame without its FCS
// so a stream of any chunking gives the same records.
//
// Transmit (hdlc_tx): frame bytes in, channel bits out: FCS appended, bits
// sent least significant first, zeros stuffed after five ones, flags
// around, NRZI, optionally G3RUH scrambling.  It is the receiver's inverse,
// for tests and test signals.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tb {

inline constexpr std::size_t kHdlcRecordHeader = 12;      // u32 length, u64 end bit
inline constexpr std::uint32_t kHdlcMaxBytesLimit = 1u << 20;

struct hdlc_rx {
  // configuration
  std::uint32_t g3ruh = 0;      // descramble first
  std::uint32_t max_bytes = 0;  // longest frame kept, FCS included
  // running state
  std::uint32_t scr = 0;        // the last 17 received bits, newest in bit 0
  std::uint32_t level = 0;      // the previous descrambled bit (NRZI reference)
  std::uint32_t ones = 0;       // ones in a row
  std::uint32_t overflow = 0;   // the frame being collected outgrew max_bytes
  std::uint64_t pos = 0;        // bits taken
  std::uint64_t good = 0, bad = 0;  // frames that passed / failed the FCS
  std::vector<std::uint8_t> bits;   // collected since the last flag, one per byte
  std::vector<std::uint8_t> frame;  // scratch: one frame's bytes (not state)
};

// nullptr for max_bytes below 3 or above kHdlcMaxBytesLimit, or allocation failure.
hdlc_rx* hdlc_rx_create(bool g3ruh, std::uint32_t max_bytes);
void hdlc_rx_destroy(hdlc_rx* h);
void hdlc_rx_reset(hdlc_rx* h);
// Takes bit 0 of each byte of x; writes the records of the frames that end
// in it; returns the bytes written (never more than hdlc_rx_steps_max_out).
std::size_t hdlc_rx_steps(hdlc_rx* h, const std::uint8_t* x, std::size_t n, std::uint8_t* out, std::size_t cap);
std::size_t hdlc_rx_steps_max_out(const hdlc_rx* h, std::size_t n);
std::size_t hdlc_rx_state_bytes(const hdlc_rx* h);
int hdlc_rx_get_state(const hdlc_rx* h, unsigned char* buf, std::size_t len);
int hdlc_rx_set_state(hdlc_rx* h, const unsigned char* buf, std::size_t len);

struct hdlc_tx {
  std::uint32_t g3ruh;  // scramble last
  std::uint32_t level;  // the NRZI line level
  std::uint32_t scr;    // the last 17 sent bits, newest in bit 0
  std::uint32_t pad;
};
static_assert(sizeof(hdlc_tx) == 16);

hdlc_tx* hdlc_tx_create(bool g3ruh);
void hdlc_tx_destroy(hdlc_tx* t);
void hdlc_tx_reset(hdlc_tx* t);
// `flags` opening flags, the frame with its FCS, one closing flag: channel
// bits (0/1), returns the count.
std::size_t hdlc_tx_frame(hdlc_tx* t, const std::uint8_t* data, std::size_t n, std::uint32_t flags,
                          std::uint8_t* out, std::size_t cap);
std::size_t hdlc_tx_frame_max_out(std::size_t n, std::uint32_t flags);
// Channel bits of `n` idle flags (the line kept busy between frames).
std::size_t hdlc_tx_idle(hdlc_tx* t, std::size_t n, std::uint8_t* out, std::size_t cap);
std::size_t hdlc_tx_state_bytes(const hdlc_tx* t);
int hdlc_tx_get_state(const hdlc_tx* t, unsigned char* buf, std::size_t len);
int hdlc_tx_set_state(hdlc_tx* t, const unsigned char* buf, std::size_t len);

// CRC-16/X.25 of n bytes (reflected 0x1021, register 0xFFFF, final XOR 0xFFFF).
std::uint16_t crc16_x25(const std::uint8_t* p, std::size_t n);

}  // namespace tb
