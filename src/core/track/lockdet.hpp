// Lock detection shared by every tracking loop: the verify-counted
// hysteretic decision, the detection-theory functions that size thresholds,
// look counts and verify counts, the non-coherent CFAR look accumulator and
// the block-averaged timing lock signal.
#pragma once
#include <complex>
#include <cstdint>

namespace tb {

struct lockdet {
  double up_thresh;      // declare when the statistic is strictly above
  double down_thresh;    // drop when strictly below
  std::uint32_t n_up;    // consecutive decisions to declare (>= 1)
  std::uint32_t n_down;  // consecutive decisions to drop (>= 1)
  std::uint32_t count;   // length of the current verify run
  std::uint32_t locked;  // 0 or 1
};
static_assert(sizeof(lockdet) == 32, "lockdet is embedded in fixed record images");

// Store thresholds and counts (0 counts become 1); count and locked untouched.
void lockdet_init(lockdet* d, double up, double down, std::uint32_t n_up, std::uint32_t n_down);
// As init, and restart the verify run; a live lock survives.
void lockdet_retune(lockdet* d, double up, double down, std::uint32_t n_up, std::uint32_t n_down);
void lockdet_reset(lockdet* d);
// One decision on statistic s (NaN counts as -infinity); returns locked.
// Inline: every carrier loop runs it once per dump or per sample.
inline bool lockdet_update(lockdet* d, double s) {
  if (s != s) s = -__builtin_inf();
  if (!d->locked) {
    if (s > d->up_thresh) {
      if (++d->count >= d->n_up) {
        d->locked = 1;
        d->count = 0;
      }
    } else {
      d->count = 0;
    }
  } else {
    if (s < d->down_thresh) {
      if (++d->count >= d->n_down) {
        d->locked = 0;
        d->count = 0;
      }
    } else {
      d->count = 0;
    }
  }
  return d->locked != 0;
}
// New verify counts (refused with -4 when either is 0); resets the decision.
int lockdet_set_verify(lockdet* d, std::uint32_t n_up, std::uint32_t n_down);

// Detection-theory functions.
double gamma_q(double a, double x);                        // upper regularised incomplete gamma
double marcum_q(std::uint64_t n, double a, double eta);    // only a = 0 is used: Q(N, eta^2/2)
double det_threshold_noncoherent(double pfa, std::uint64_t n);
double q_inv(double p);                                    // sqrt(2) * erfcinv(2p)
std::int64_t det_verify_count(double p, double budget);
double det_ema_alpha(double in_db, double out_db);
std::int64_t det_looks_gaussian(double mu, double v, double pd, double pfa);  // -1 when refused
double det_threshold_gaussian(double mu, double pd, double pfa);

// Non-coherent CFAR look accumulator (the code loop's lock statistic).
struct cfar_looks {
  double noise_est;            // EMA of the off-peak power
  double alpha;                // EMA coefficient
  std::uint64_t noise_samples; // off-peak samples since the last reset
  double sum;                  // running sum of |P|^2 over the current group
  std::uint64_t looks;         // looks in the current group
  std::uint64_t n_looks;       // group size N >= 1
  double lock_stat;            // last statistic
  lockdet det;
};

// One look; returns true when a group completed and a decision was made.
bool cfar_look(cfar_looks* c, std::complex<float> prompt, std::complex<float> off_peak);
int cfar_configure(cfar_looks* c, double pfa, std::uint64_t n, double ref_snr_db);
void cfar_configure_raw(cfar_looks* c, double up, double down, std::uint32_t n_up, std::uint32_t n_down,
                        std::uint64_t n, double alpha);
void cfar_clear(cfar_looks* c);  // statistic, reference and group cleared; decision reset

// Block-averaged timing lock signal (the timing loops' lock statistic).
inline constexpr double kSymsyncLockStatVariance = 1.343;

struct timing_lock {
  double sum;
  std::uint64_t looks;
  std::uint64_t avgs;  // block size
  double lock_stat;    // last block mean
  lockdet det;
};

// One look per output symbol with on-time sample a and mid-symbol sample b;
// returns true when a block completed and a decision was made.
bool timing_lock_look(timing_lock* t, const std::complex<float>& a, const std::complex<float>& b);
// Derived configuration from (rolloff, esno_min_db, pfa, pd); -4 when refused.
int timing_lock_configure(timing_lock* t, double rolloff, double esno_min_db, double pfa, double pd);

}  // namespace tb
