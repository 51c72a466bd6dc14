"""tamberl: deterministic, bit-reproducible signal processing for software-defined radio.

Each extension module is imported on its own:

- ``tamberl.qmath``: bit-true Q15/Q8 kernels and accumulators
- ``tamberl.track``: loop filter, carrier, code and timing loops, complete M-PSK receivers
- ``tamberl.spectral``: FFT engines, windows, correlators and detectors, PSD
- ``tamberl.lox``: down-converters: LO mixing, decimation, resampling, matched filtering
- ``tamberl.sfc``: sample-format converters, ADC model, bit conversions
- ``tamberl.sig``: PN and Gold codes, the signal synthesiser, pulse-shaping and link helpers

``tamberl.telemetry`` is the consumer of the probes ``track`` objects
publish, and ``tamberl.rx`` decodes real captures of concatenated-coded BPSK
downlinks (``python -m tamberl.rx``).
"""

__version__ = "0.1.0"
