// The shared timing loop, the synchronisers and the receivers: detector
// gains, strobe spacing, and refusal of corrupted nested blobs.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/lox/rc.hpp"
#include "core/track/mpsk_rx.hpp"
#include "core/track/ratesync.hpp"
#include "core/track/symsync.hpp"
#include "core/track/timing.hpp"
#include "helpers.hpp"

namespace {

TEST(TimingLoop, PulseAutocorrelationsAndSlopes) {
  EXPECT_DOUBLE_EQ(tb::pulse_autocorr(0, 0.0, 0.25), 0.75);
  EXPECT_DOUBLE_EQ(tb::pulse_autocorr(0, 0.0, -1.5), 0.0);
  EXPECT_DOUBLE_EQ(tb::pulse_autocorr(1, 0.35, 0.0), 1.0);
  EXPECT_NEAR(tb::pulse_autocorr(1, 0.35, 2.0), 0.0, 1e-15);
  // The singular point of the raised cosine takes its limit.
  EXPECT_NEAR(tb::pulse_autocorr(1, 0.5, 1.0), tb::pulse_autocorr(1, 0.5, 1.0 + 1e-7), 1e-6);
  for (int pulse : {0, 1})
    for (std::uint32_t ted : {tb::TED_GARDNER, tb::TED_DTTL}) EXPECT_GT(tb::ted_slope(pulse, 0.35, 8, ted), 0.1);
  // DTTL on the triangle: S(tau) = R(tau - 0.5) - R(tau + 0.5) has slope 2.
  EXPECT_NEAR(tb::ted_slope(0, 0.0, 8, tb::TED_DTTL), 2.0, 1e-9);
}

TEST(TimingLoop, StrobesEveryMOutputsAfterPriming) {
  tb::timing_loop t{};
  tb::timing_loop_init(&t, 8.0, 4, 0.01, 0.707, tb::TED_GARDNER, 1.0, 0.5, 5);
  std::vector<int> at;
  for (int i = 0; i < 40; ++i) {
    tb::cf32 mid;
    if (tb::timing_loop_strobe(&t, {static_cast<float>(i), 0.0f}, &mid)) {
      at.push_back(i);
      EXPECT_EQ(mid.real(), static_cast<float>(i - 2));  // m/2 outputs back
    }
  }
  ASSERT_FALSE(at.empty());
  EXPECT_EQ(at[0], 6);  // K + 1 = 6 outputs primed, then phase 0
  for (std::size_t k = 1; k < at.size(); ++k) EXPECT_EQ(at[k] - at[k - 1], 4);
}

struct RxDeleter {
  void operator()(tb::mpsk_rx* r) const { tb::mpsk_rx_destroy(r); }
};

TEST(Receivers, NestedBlobsRefuseCorruption) {
  std::vector<tb::cf32> x(5000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = {(i / 8) % 3 ? 0.7f : -0.7f, (i / 8) % 5 ? 0.7f : -0.7f};
  for (bool real : {false, true}) {
    tb::mpsk_rx_config c;
    c.real = real;
    c.pulse = tb::RC_PULSE_RRC;
    std::unique_ptr<tb::mpsk_rx, RxDeleter> r(tb::mpsk_rx_create(c));
    ASSERT_TRUE(r);
    std::vector<tb::cf32> out(x.size());
    if (real) {
      std::vector<float> xr(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) xr[i] = x[i].real();
      tb::mpsk_rx_steps_r(r.get(), xr.data(), xr.size() - 1, out.data(), out.size());
    } else {
      tb::mpsk_rx_steps(r.get(), x.data(), x.size(), out.data(), out.size());
    }
    const std::size_t casc = tb::rc_state_bytes(r->cascade);
    const std::size_t sec = 16 + casc, timing = sec + 96, lf = timing + 216, half = lf + 64;
    const tbt::StateFns<tb::mpsk_rx> fns{tb::mpsk_rx_state_bytes, tb::mpsk_rx_get_state, tb::mpsk_rx_set_state};
    if (real)
      tbt::expect_blob_fuzz_refused(r.get(), fns, 5, 800, {16, sec, timing, timing + 152, lf, half});
    else
      tbt::expect_blob_fuzz_refused(r.get(), fns, 5, 800, {16, sec, timing, timing + 152, lf});
  }
}

TEST(Synchronisers, BlobsRefuseCorruption) {
  std::unique_ptr<tb::ratesync, void (*)(tb::ratesync*)> s(tb::ratesync_create(4.0, 1, 0.35, 8, 2, 1024, 0.01, 0.707, 0),
                                                           tb::ratesync_destroy);
  ASSERT_TRUE(s);
  std::vector<tb::cf32> x(3000, {1.0f, 0.0f}), out(3000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = {(i / 4) % 2 ? 1.0f : -1.0f, 0.0f};
  tb::ratesync_steps(s.get(), x.data(), x.size(), out.data(), out.size());
  const std::size_t loop = 16 + tb::rc_state_bytes(s->cascade);
  tbt::expect_blob_fuzz_refused<tb::ratesync>(
      s.get(), {tb::ratesync_state_bytes, tb::ratesync_get_state, tb::ratesync_set_state}, 2, 800,
      {16, loop, loop + 152});
  std::unique_ptr<tb::symsync, void (*)(tb::symsync*)> y(tb::symsync_create(4, 0.01, 0.707, 2, 0), tb::symsync_destroy);
  ASSERT_TRUE(y);
  tb::symsync_steps(y.get(), x.data(), x.size(), out.data(), out.size());
  tbt::expect_blob_fuzz_refused<tb::symsync>(y.get(), {tb::symsync_state_bytes, tb::symsync_get_state,
                                                      tb::symsync_set_state});
  EXPECT_EQ(nullptr, tb::symsync_create(1, 0.01, 0.707, 2, 0));
  EXPECT_EQ(nullptr, tb::ratesync_create(3.0, 1, 0.35, 8, 4, 1024, 0.01, 0.707, 0));
}

}  // namespace
