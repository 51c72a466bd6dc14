// State-blob header and little-endian field helpers shared by every core record.
//
// A blob is a 16-byte header followed by an object-specific payload, all
// little-endian:
//   0  magic (4 ASCII bytes)      4  version (u16)     6  layout marker (u8) = 1
//   7  reserved (0)               8  total length (u32) 12 reserved (0)
// Composite records nest the complete blobs of their parts in their payload.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tb {

inline constexpr std::size_t kBlobHeader = 16;
inline constexpr int kStatusRefused = -4;  // refused blob or parameter

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian targets are not supported");

template <class T>
inline T byteswap_if_big(T v) {
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
      unsigned char t = b[i];
      b[i] = b[sizeof(T) - 1 - i];
      b[sizeof(T) - 1 - i] = t;
    }
    std::memcpy(&v, b, sizeof(T));
  }
  return v;
}

// Store / load a trivially copyable scalar at p in little-endian order.
template <class T>
inline void put_le(unsigned char* p, T v) {
  v = byteswap_if_big(v);
  std::memcpy(p, &v, sizeof(T));
}
template <class T>
inline T get_le(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return byteswap_if_big(v);
}

// Write the 16-byte header for a blob of `total` bytes (header included).
void blob_write_header(unsigned char* dst, const char magic[4], std::uint16_t version,
                       std::uint32_t total);

// 0 when the header at src names `magic`, `version`, layout marker 1 and
// length `total`, and `len` (the bytes available) covers it; kStatusRefused
// otherwise.  Reserved bytes are not checked.
int blob_check_header(const unsigned char* src, std::size_t len, const char magic[4],
                      std::uint16_t version, std::uint32_t total);

// Sequential little-endian writer/reader over a blob payload.  Both are bounds
// checked against the length they were given; the reader's ok() turns false
// after any attempt to read past the end (and then yields zeros).
class BlobWriter {
 public:
  BlobWriter(unsigned char* p, std::size_t n) : p_(p), end_(p + n) {}
  template <class T>
  void put(T v) {
    if (static_cast<std::size_t>(end_ - p_) < sizeof(T)) { ok_ = false; return; }
    put_le<T>(p_, v);
    p_ += sizeof(T);
  }
  void bytes(const void* src, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) { ok_ = false; return; }
    std::memcpy(p_, src, n);
    p_ += n;
  }
  unsigned char* pos() const { return p_; }
  void skip(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) { ok_ = false; return; }
    p_ += n;
  }
  bool ok() const { return ok_; }

 private:
  unsigned char* p_;
  unsigned char* end_;
  bool ok_ = true;
};

class BlobReader {
 public:
  BlobReader(const unsigned char* p, std::size_t n) : p_(p), end_(p + n) {}
  template <class T>
  T get() {
    if (static_cast<std::size_t>(end_ - p_) < sizeof(T)) { ok_ = false; return T{}; }
    T v = get_le<T>(p_);
    p_ += sizeof(T);
    return v;
  }
  void bytes(void* dst, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) { ok_ = false; return; }
    std::memcpy(dst, p_, n);
    p_ += n;
  }
  const unsigned char* pos() const { return p_; }
  void skip(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) { ok_ = false; return; }
    p_ += n;
  }
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  bool ok() const { return ok_; }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
  bool ok_ = true;
};

}  // namespace tb
