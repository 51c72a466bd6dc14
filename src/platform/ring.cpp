#include "platform/ring.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

namespace tb::platform {

namespace {

constexpr std::uint64_t kLimit = 0x10000001;  // give up once the logical capacity exceeds this
constexpr int kAttempts = 1024;
constexpr std::size_t kSample = sizeof(std::complex<float>);

// Two adjacent views of fd (bytes long each) inside a fresh reservation, or
// nullptr with nothing left mapped.
void* map_twice(int fd, std::size_t bytes) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    void* res = mmap(nullptr, 2 * bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (res == MAP_FAILED) return nullptr;  // no address space: retrying cannot help
    auto* base = static_cast<unsigned char*>(res);
    void* a = mmap(base, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    void* b = a == MAP_FAILED ? MAP_FAILED : mmap(base + bytes, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (a != MAP_FAILED && b != MAP_FAILED) return base;
    munmap(base, 2 * bytes);  // the reservation and whatever view took its place
  }
  return nullptr;
}

}  // namespace

std::size_t map_granularity() {
  const long p = sysconf(_SC_PAGESIZE);
  return p > 0 ? static_cast<std::size_t>(p) : 4096;
}

std::uint64_t ring_logical_capacity(std::uint64_t n) {
  std::uint64_t f = 512;
  while (f < n && f <= kLimit) f <<= 1;
  return f;
}

mirror_ring* ring_create(std::uint64_t n) {
  const std::size_t gran = map_granularity();
  for (std::uint64_t f = ring_logical_capacity(n); f <= kLimit; f <<= 1) {
    std::uint64_t g = f;
    while (g * kSample < gran) g <<= 1;
    const std::size_t bytes = static_cast<std::size_t>(g * kSample);
    const int fd = memfd_create("tamberl-ring", MFD_CLOEXEC);
    if (fd < 0) continue;
    void* base = nullptr;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) base = map_twice(fd, bytes);
    if (!base) {
      close(fd);
      continue;
    }
    auto* r = new (std::nothrow) mirror_ring;
    if (!r) {
      munmap(base, 2 * bytes);
      close(fd);
      continue;
    }
    r->base = static_cast<std::complex<float>*>(base);
    r->mask = g - 1;
    r->phys = g;
    r->cap = f;
    r->fd = fd;
    return r;
  }
  return nullptr;
}

void ring_destroy(mirror_ring* r) {
  if (!r) return;
  munmap(r->base, static_cast<std::size_t>(2 * r->phys * kSample));
  close(r->fd);
  delete r;
}

bool ring_write(mirror_ring* r, const std::complex<float>* x, std::uint64_t e) {
  if (e > r->cap || e > ring_free(r)) {
    std::atomic_ref<std::uint64_t>(r->overflow).fetch_add(e, std::memory_order_relaxed);
    return false;
  }
  if (e) std::memcpy(r->base + (r->write & r->mask), x, static_cast<std::size_t>(e) * kSample);
  r->write += e;
  return true;
}

}  // namespace tb::platform
