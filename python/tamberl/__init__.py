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

_MODULES = ("qmath", "track", "spectral", "lox", "sfc", "sig")


def isa(name: "str | None" = None) -> str:
    """The SIMD instruction set the kernels use: "scalar", "sse2" or "avx2".

    With a name, every extension module is capped there first (a cap above
    what the processor runs has no effect).  All paths give the same bits;
    this is for measuring and testing them.  The environment variable
    TAMBERL_ISA sets the cap at start-up.
    """
    import importlib

    active = [importlib.import_module(f"tamberl.{m}")._isa(name) for m in _MODULES]
    return str(active[-1])
