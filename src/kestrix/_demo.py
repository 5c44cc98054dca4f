"""The built-in demonstration recording of ``kestrix process``.

A deterministic complex baseband signal made in memory, so no data file has
to ship with the package: QPSK bursts that alternate between a loud and a
quiet level 40 dB apart, separated by gaps of receiver noise, with a slow
fade over the whole recording and a small carrier offset.  It is what an
AGC is for: the loop has to pull every burst to the reference level and
recover between them.
"""

from __future__ import annotations

import numpy as np

DEMO_RATE = 250_000.0  # samples per second
DEMO_SECONDS = 4.0
DEMO_SEED = 20240617
DEMO_BURSTS = 8  # alternating loud / quiet
LOUD_DB = -10.0  # burst power, dB relative to a mean squared magnitude of 1
QUIET_DB = LOUD_DB - 40.0
NOISE_DB = -85.0
FADE_DB = 3.0  # peak depth of the slow fade, dB
SPS = 8  # samples per QPSK symbol
CARRIER_HZ = 1500.0


def describe(seconds: float = DEMO_SECONDS, rate: float = DEMO_RATE) -> str:
    return (
        f"kestrix demonstration recording: {DEMO_BURSTS} QPSK bursts alternating "
        f"between {LOUD_DB:g} dB and {QUIET_DB:g} dB, noise at {NOISE_DB:g} dB, a "
        f"{FADE_DB:g} dB slow fade, {seconds:g} s at {rate:g} samples/s")


def _qpsk(rng: np.random.Generator, n: int) -> np.ndarray:
    """Unit-power QPSK at SPS samples per symbol with a smooth (Hann) pulse."""
    nsym = -(-n // SPS) + 2
    bits = rng.integers(0, 4, nsym)
    sym = np.exp(1j * (np.pi / 4 + np.pi / 2 * bits))
    up = np.zeros(nsym * SPS, np.complex128)
    up[::SPS] = sym
    pulse = np.hanning(2 * SPS + 1)[1:-1]
    shaped = np.convolve(up, pulse)[SPS : SPS + n]
    return shaped / np.sqrt(np.mean(np.abs(shaped) ** 2))


def demo_recording(seconds: float = DEMO_SECONDS, rate: float = DEMO_RATE,
                   seed: int = DEMO_SEED) -> np.ndarray:
    """The demonstration signal as a complex64 array of round(seconds*rate) samples.

    The same arguments always give the same samples on one platform.
    """
    n = max(int(round(seconds * rate)), DEMO_BURSTS * 4 * SPS)
    rng = np.random.default_rng(seed)
    t = np.arange(n) / rate
    slot = n // DEMO_BURSTS
    on = int(slot * 0.7)
    ramp = max(1, min(4 * SPS, on // 8))
    amp = np.zeros(n)
    edge = 0.5 - 0.5 * np.cos(np.pi * (np.arange(ramp) + 0.5) / ramp)
    for k in range(DEMO_BURSTS):
        level = LOUD_DB if k % 2 == 0 else QUIET_DB
        start = k * slot + (slot - on) // 2
        a = np.full(on, 10.0 ** (level / 20.0))
        a[:ramp] *= edge
        a[-ramp:] *= edge[::-1]
        amp[start : start + on] = a
    fade = 10.0 ** (FADE_DB * np.sin(2 * np.pi * t / (t[-1] + 1.0 / rate) + 0.3) / 20.0)
    carrier = np.exp(2j * np.pi * CARRIER_HZ * t)
    noise = (rng.standard_normal(n) + 1j * rng.standard_normal(n)) * (
        10.0 ** (NOISE_DB / 20.0) / np.sqrt(2.0))
    x = _qpsk(rng, n) * amp * fade * carrier + noise
    return x.astype(np.complex64)


def demo_meta(seconds: float = DEMO_SECONDS, rate: float = DEMO_RATE) -> dict:
    """SigMF-style metadata of the demonstration recording."""
    return {
        "global": {
            "core:datatype": "cf32_le",
            "core:sample_rate": float(rate),
            "core:description": describe(seconds, rate),
            "core:recorder": "kestrix demo generator",
            "core:num_channels": 1,
        },
        "captures": [{"core:sample_start": 0}],
        "annotations": [],
    }
