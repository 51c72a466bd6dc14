"""tamberl: deterministic, bit-reproducible signal processing for software-defined radio.

The library is six extension modules, each imported on its own:

- ``tamberl.qmath``: bit-true Q15/Q8 kernels and accumulators
- ``tamberl.track``: loop filter, carrier/code/timing loops, receivers
- ``tamberl.spectral``: FFT engines, windows, correlators, PSD
- ``tamberl.sig``: code generators, synthesiser, frames
- ``tamberl.lox``: oscillator, decimators, resampler, down-converters
- ``tamberl.sfc``: sample-format converters, ADC model, bit conversions
"""

__version__ = "0.1.0"
