// Streaming correlation detectors: chunks of any length go into a
// double-mapped ring, whole frames are correlated straight from it
// (integrated over dwell frames), and every dump gives a peak, a noise level
// over a chosen range of lags, their ratio (the test statistic) and a
// detection when the ratio passes the threshold.
//
// No input is ever dropped: a push consumes its whole chunk (a caller
// collecting detections in bounded batches keeps pushing, with an empty
// chunk at the end, until a batch comes back short).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/common/types.hpp"
#include "core/spectral/corr.hpp"
#include "platform/ring.hpp"

namespace tb {

enum noise_mode : int { kNoiseMean = 0, kNoiseMedian = 1, kNoiseMin = 2, kNoiseMax = 3 };

struct detection {
  std::uint64_t index;  // flattened peak lag (row * nx + col in 2-D)
  float peak, noise, stat;
};

struct detector {
  corr* c1 = nullptr;    // 1-D
  corr2d* c2 = nullptr;  // 2-D (full map, native output)
  std::uint64_t n = 0, ny = 1, nx = 0;  // frame length n = ny * nx
  platform::mirror_ring* ring = nullptr;
  std::uint64_t noise_lo = 0, noise_hi = 0;
  int mode = kNoiseMean;
  float threshold = 0.0f;
  std::shared_ptr<cf32[]> out;  // the correlation output, lent to Python as last_corr
  std::vector<float> mag, scratch;
  detection last{};
  std::uint32_t valid = 0;
  ~detector();
};

// nullptr when the correlator is refused, no ring can be mapped, or memory
// cannot be had.  noise_lo and noise_hi are clamped to n - 1 and ordered.
detector* detector_create(const cf32* ref, std::size_t n, std::uint64_t dwell, std::uint64_t noise_lo,
                          std::uint64_t noise_hi, int mode, float threshold);
detector* detector2d_create(const cf32* ref, std::size_t ny, std::size_t nx, std::uint64_t dwell,
                            std::uint64_t noise_lo, std::uint64_t noise_hi, int mode, float threshold);
void detector_destroy(detector* d);
void detector_reset(detector* d);
std::uint64_t detector_count(const detector* d);
std::uint64_t detector_dwell(const detector* d);

// Pushes n samples: frames already pending come first, then the chunk is
// written into the ring as room allows and every whole frame is processed.
// Stops early only when cap detections were reported; *consumed tells how
// many samples of x were taken (the rest must be pushed again).  Returns the
// detections written, or a negative status when a transform could not get
// working memory.
std::int64_t detector_push(detector* d, const cf32* x, std::size_t n, detection* out, std::size_t cap,
                           std::size_t* consumed);

std::size_t detector_state_bytes(const detector* d);
int detector_get_state(const detector* d, unsigned char* buf, std::size_t len);
int detector_set_state(detector* d, const unsigned char* buf, std::size_t len);

}  // namespace tb
