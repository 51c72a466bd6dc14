#include "core/common/blob.hpp"

namespace tb {

void blob_write_header(unsigned char* dst, const char magic[4], std::uint16_t version,
                       std::uint32_t total) {
  std::memcpy(dst, magic, 4);
  put_le<std::uint16_t>(dst + 4, version);
  dst[6] = 1;
  dst[7] = 0;
  put_le<std::uint32_t>(dst + 8, total);
  put_le<std::uint32_t>(dst + 12, 0);
}

int blob_check_header(const unsigned char* src, std::size_t len, const char magic[4],
                      std::uint16_t version, std::uint32_t total) {
  if (src == nullptr || len < kBlobHeader || len < total) return kStatusRefused;
  if (std::memcmp(src, magic, 4) != 0) return kStatusRefused;
  if (get_le<std::uint16_t>(src + 4) != version) return kStatusRefused;
  if (src[6] != 1) return kStatusRefused;
  if (get_le<std::uint32_t>(src + 8) != total) return kStatusRefused;
  return 0;
}

}  // namespace tb
