"""Argument types and the parser class of the ``kestrix`` command."""

from __future__ import annotations

import argparse
import math

from ._errors import CliError

def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def finite(text: str) -> float:
    v = number(text)
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return v


def positive(text: str) -> float:
    v = finite(text)
    if not v > 0:
        raise argparse.ArgumentTypeError(f"must be > 0, got {text}")
    return v


def loop_bw_type(text: str) -> float:
    v = finite(text)
    if not 0 < v <= 0.25:
        raise argparse.ArgumentTypeError(
            f"must lie in (0, 0.25] cycles/sample (the loop gain 4*loop_bw must not "
            f"exceed 1), got {text}")
    return v


def alpha_type(text: str) -> float:
    v = finite(text)
    if not 0 < v <= 1:
        raise argparse.ArgumentTypeError(f"must lie in (0, 1], got {text}")
    return v


def int_range(lo: int, hi: int):
    def parse(text: str) -> int:
        try:
            v = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if not lo <= v <= hi:
            raise argparse.ArgumentTypeError(f"must lie in {lo} .. {hi}, got {v}")
        return v

    return parse


class Parser(argparse.ArgumentParser):
    """argparse with one-line errors that exit with status 2 through CliError."""

    def error(self, message: str):
        command = self.prog.partition(" ")[2]
        where = f"{command}: " if command else ""
        raise CliError(f"{where}{message} (see '{self.prog} --help')", 2)
