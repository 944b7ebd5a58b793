"""What the benchmarks report about the machine they ran on."""

from __future__ import annotations

import contextlib
import os
import platform
from pathlib import Path


def busy_cpu_s() -> tuple[float, float] | None:
    """CPU seconds the whole machine (all cores) has spent busy since boot, from /proc/stat:
    at normal priority, and niced; None where unknown."""
    try:
        fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:9]]
        user, nice, system, _idle, _iowait, irq, softirq, steal = fields
    except (OSError, ValueError):
        return None
    tick = os.sysconf("SC_CLK_TCK")
    return (user + system + irq + softirq + steal) / tick, nice / tick


def cpu_name() -> str:
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or platform.machine()
