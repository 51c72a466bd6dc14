// Sample types shared by every core: interleaved complex float32 (NumPy
// complex64) and complex float64 (NumPy complex128).
#pragma once
#include <complex>

namespace tb {

using cf32 = std::complex<float>;
using cf64 = std::complex<double>;

}  // namespace tb
