#include "platform/memory.hpp"

#include <unistd.h>

namespace tb::platform {

std::size_t physical_memory_bytes() {
  static const std::size_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::size_t{1} << 46;
    const auto p = static_cast<std::size_t>(pages), s = static_cast<std::size_t>(page);
    return p > (~std::size_t{0}) / s ? ~std::size_t{0} : p * s;
  }();
  return bytes;
}

bool fits_in_memory(std::size_t count, std::size_t elem, std::size_t extra) {
  const std::size_t limit = physical_memory_bytes();
  if (elem != 0 && count > limit / elem) return false;
  const std::size_t bytes = count * elem;
  return extra <= limit - bytes;
}

}  // namespace tb::platform
