"""Resident-memory readings of the current process, for the benchmarks."""

from __future__ import annotations


def status_kib() -> dict[str, int]:
    """VmHWM (peak) and VmRSS (current) of this process, in KiB."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                out[key] = int(value.split()[0])
    return out
