// tamberl.spectral: FFT engines, windows and spectrum utilities, PSD estimator.
#include "bindings/spectral/corr.hpp"
#include "bindings/spectral/fft.hpp"
#include "bindings/spectral/functions.hpp"
#include "bindings/spectral/psd.hpp"

namespace {
using namespace tb::py;
using tb::cf32;
using tb::cf64;

PyMethodDef kFunctions[] = {
    function("hann_window", py_window<tb::hann_window>,
             "hann_window(w)\n--\n\nFill w (float32, in place) with a symmetric Hann window; returns None."),
    function("kaiser_window", py_kaiser_window,
             "kaiser_window(w, beta)\n--\n\nFill w (float32, in place) with a symmetric Kaiser window; returns None."),
    function("blackman_harris_window", py_window<tb::blackman_harris_window>,
             "blackman_harris_window(w)\n--\n\nFill w (float32, in place) with a 4-term Blackman-Harris window; "
             "returns None."),
    function("kaiser_enbw", py_kaiser_enbw,
             "kaiser_enbw(w)\n--\n\nEquivalent noise bandwidth of any window, in bins (float)."),
    function("kaiser_beta_for_sidelobe", py_kaiser_beta,
             "kaiser_beta_for_sidelobe(atten_db)\n--\n\nKaiser beta for a sidelobe attenuation in dB (float)."),
    function("magnitude_db_cf32", py_magnitude_db<cf32, float, tb::magnitude_db_cf32, 'f'>,
             "magnitude_db_cf32(x, lin_floor, offset_db)\n--\n\n20 log10(max(lin_floor, |x|)) + offset_db of "
             "complex64 x, as float32."),
    function("magnitude_db_cf64", py_magnitude_db<cf64, double, tb::magnitude_db_cf64, 'd'>,
             "magnitude_db_cf64(x, lin_floor, offset_db)\n--\n\nAs magnitude_db_cf32, computed in double from "
             "complex128 x; float32 out."),
    function("find_peaks_f32", py_find_peaks,
             "find_peaks_f32(db, n_peaks, min_db)\n--\n\n[(freq, level), ...] of an fft-shifted dB spectrum, "
             "highest first; freq in cycles per sample."),
    function("obw_from_power", py_obw,
             "obw_from_power(pwr, fs, frac)\n--\n\nOccupied bandwidth of a linear power spectrum, in the unit of fs."),
    function("noise_floor_db", py_noise_floor, "noise_floor_db(db)\n--\n\nThe median of db (float)."),
    kSentinel,
};

}  // namespace

TB_MODULE(spectral, "Spectral analysis: FFT engines, windows and spectrum utilities, correlators and detectors, the PSD estimator.",
          kFunctions, {}, FftT, Fft2dT, CorrT, Corr2dT, CorrDetectorT, CorrDetector2dT, PsdT)
