"""kestrix: fast, bit-exact signal processing for complex baseband samples.

Native modules:

- :mod:`kestrix.agc`: log-domain feedback automatic gain control (``AGC``)
  and the ``settling_samples`` design query.
- :mod:`kestrix.channel`: channel selection: a frequency shift with a
  drift-free phase (``Rotator``) and a decimating FIR (``FIRDecimator``).
- :mod:`kestrix.filter`: direct-form FIR filter (``FIR``), O(1) boxcar moving
  average (``MovingAverage``) and the Kaiser lowpass designer
  (``design_lowpass``).
- :mod:`kestrix.telemetry`: the telemetry ring that an ``AGC`` publishes its
  gain and level probes into.

The ``kestrix`` command processes IQ recordings with them.  With the
``dask`` extra, :mod:`kestrix.dask` filters long dask arrays chunk by chunk on
a cluster's worker processes, with the bits of one ``FIR.execute`` call.
"""

__version__ = "0.1.0"
__all__ = ["agc", "channel", "filter", "telemetry"]
