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
#include <type_traits>

#include "core/common/status.hpp"

namespace tb {

inline constexpr std::size_t kBlobHeader = 16;

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

// A byte range inside a blob (a nested component blob).
struct BlobSpan {
  const unsigned char* p = nullptr;
  std::size_t n = 0;
};

// Sequential little-endian writer/reader over a blob payload.  Both are bounds
// checked against the length they were given; the reader's ok() turns false
// after any attempt to read past the end (and then yields zeros).  blob_begin
// and blob_open below also write or check the header.
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
  void zeros(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) { ok_ = false; return; }
    std::memset(p_, 0, n);
    p_ += n;
  }
  // The complete blob of a component, n bytes, written by get(dst, n)
  // (a component's get_state; a non-zero result fails the writer).
  template <class Get>
  void child(std::size_t n, Get&& get) {
    if (!ok_ || static_cast<std::size_t>(end_ - p_) < n || get(p_, n) != 0) { ok_ = false; return; }
    p_ += n;
  }
  void fail() { ok_ = false; }
  bool ok() const { return ok_; }
  // The status to return: 0, or kStatusRefused after any failure.
  int status() const { return ok_ ? 0 : kStatusRefused; }

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
  // The next nested blob, as long as its own header's length field says
  // (at least a header, never past the end); an empty span and ok() false
  // otherwise.
  BlobSpan child() {
    if (!ok_ || left() < kBlobHeader) { ok_ = false; return {}; }
    const std::size_t n = get_le<std::uint32_t>(p_ + 8);
    if (n < kBlobHeader || n > left()) { ok_ = false; return {}; }
    BlobSpan s{p_, n};
    p_ += n;
    return s;
  }
  void fail() { ok_ = false; }
  bool ok() const { return ok_; }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
  bool ok_ = true;
};

// Opens a blob of `total` bytes for writing: refuses (ok() false, nothing
// written) a null buffer, one shorter than total, or a total that does not
// fit the 32-bit length field; otherwise writes the header and returns a
// writer over exactly the payload.
inline BlobWriter blob_begin(unsigned char* buf, std::size_t len, const char magic[4], std::uint16_t version,
                             std::size_t total) {
  if (buf == nullptr || len < total || total < kBlobHeader || total > 0xFFFFFFFFu) {
    BlobWriter w(buf, 0);
    w.fail();
    return w;
  }
  blob_write_header(buf, magic, version, static_cast<std::uint32_t>(total));
  return BlobWriter(buf + kBlobHeader, total - kBlobHeader);
}

// Opens a blob of `total` bytes for reading: ok() false when the header does
// not name magic, version and total (or the buffer is short); otherwise a
// reader over exactly the payload.
inline BlobReader blob_open(const unsigned char* buf, std::size_t len, const char magic[4], std::uint16_t version,
                            std::size_t total) {
  if (total < kBlobHeader || total > 0xFFFFFFFFu ||
      blob_check_header(buf, len, magic, version, static_cast<std::uint32_t>(total)) != 0) {
    BlobReader r(buf, 0);
    r.fail();
    return r;
  }
  return BlobReader(buf + kBlobHeader, total - kBlobHeader);
}
inline BlobReader blob_open(BlobSpan s, const char magic[4], std::uint16_t version, std::size_t total) {
  return blob_open(s.p, s.n, magic, version, total);
}

// Records with a fixed binary image: the blob is the header and the first
// `persisted` bytes of the record, zero-padded to the record's size (the
// tail holds what is not persisted, such as a borrowed telemetry context).
template <class R>
inline constexpr std::size_t blob_image_bytes() {
  return kBlobHeader + sizeof(R);
}
template <class R>
int blob_put_image(unsigned char* buf, std::size_t len, const char magic[4], std::uint16_t version, const R& rec,
                   std::size_t persisted = sizeof(R)) {
  static_assert(std::is_standard_layout_v<R> && std::is_trivially_copyable_v<R>);
  static_assert(std::endian::native == std::endian::little, "record images are little-endian");
  BlobWriter w = blob_begin(buf, len, magic, version, blob_image_bytes<R>());
  w.bytes(&rec, persisted);
  w.zeros(sizeof(R) - persisted);
  return w.status();
}
// Restores the persisted bytes; the rest of the record is kept.
template <class R>
int blob_get_image(R* rec, const unsigned char* buf, std::size_t len, const char magic[4], std::uint16_t version,
                   std::size_t persisted = sizeof(R)) {
  BlobReader r = blob_open(buf, len, magic, version, blob_image_bytes<R>());
  if (!r.ok()) return kStatusRefused;
  r.bytes(static_cast<void*>(rec), persisted);
  return 0;
}
// Restores an image into a copy of the record that `accept(copy)` vets
// (refusing a configuration the object could not have, and putting back
// fields it keeps as its own); only an accepted copy replaces the record.
template <class R, class Accept>
int blob_restore_image(R* rec, const unsigned char* buf, std::size_t len, const char magic[4],
                       std::uint16_t version, std::size_t persisted, Accept accept) {
  R probe = *rec;
  if (blob_get_image(&probe, buf, len, magic, version, persisted) != 0 || !accept(probe)) return kStatusRefused;
  *rec = probe;
  return 0;
}

}  // namespace tb
