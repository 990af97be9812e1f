"""Several threads calling the market-data and order callbacks of one strategy at once, with a
consumer draining event_queue (child_threads.py, in a child process so that a crash is
reported rather than taking the test run down)."""
from __future__ import annotations

import pathlib
import subprocess
import sys

import pytest

from helpers_hardening import SANITIZED

CHILD = pathlib.Path(__file__).with_name("child_threads.py")


@pytest.mark.parametrize("producers", [2, 4])
def test_every_event_arrives_once_in_its_threads_order(producers):
    count = 800 if SANITIZED else 4000
    proc = subprocess.run([sys.executable, str(CHILD), str(producers), str(count)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-6000:]}"
    assert proc.stdout.startswith(f"OK {producers} threads x {count} events"), proc.stdout
