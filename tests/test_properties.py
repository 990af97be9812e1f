"""Arbitrary records: every callback and query function of the bridge, fed records of arbitrary
shapes and types (drawn by hypothesis in a child process per group, see child_properties.py),
either returns None or raises an ordinary exception, and the interpreter survives.

Each run draws a new seed (printed on failure); ORVANE_PROPERTY_SEED replays one, and
ORVANE_PROPERTY_EXAMPLES sets the number of examples per function."""
from __future__ import annotations

import os
import pathlib
import random
import re
import subprocess
import sys

import pytest

from helpers_hardening import SANITIZED

CHILD = pathlib.Path(__file__).with_name("child_properties.py")
GROUPS = ["startup", "clock", "market_data", "account", "orders", "algo", "queries"]
# Bounded so that the suite stays within minutes; the sanitizer run is several times slower
# per example.
EXAMPLES = int(os.environ.get("ORVANE_PROPERTY_EXAMPLES", 20 if SANITIZED else 60))


@pytest.mark.parametrize("group", GROUPS)
def test_arbitrary_records_raise_only_ordinary_exceptions(group):
    seed = int(os.environ.get("ORVANE_PROPERTY_SEED", random.randrange(2 ** 32)))
    proc = subprocess.run([sys.executable, str(CHILD), group, str(EXAMPLES), str(seed)],
                          capture_output=True, text=True, timeout=900)
    calls = [line for line in proc.stdout.splitlines() if line.startswith("CALL ")]
    if proc.returncode != 0:
        last = calls[-1] if calls else "(none)"
        pytest.fail(f"child for {group} (seed {seed}) exited with {proc.returncode}\n"
                    f"last call: {last}\n--- stderr (end) ---\n{proc.stderr[-6000:]}",
                    pytrace=False)
    assert f"DONE {group}" in proc.stdout
    summaries = re.findall(r"^SUMMARY (\w+) calls=(\d+)", proc.stdout, re.M)
    # Every function of the group was called, about once per example (hypothesis may stop
    # early when it has seen every distinct example of a small space).
    assert summaries and all(int(n) >= min(EXAMPLES, 10) for _, n in summaries), summaries
