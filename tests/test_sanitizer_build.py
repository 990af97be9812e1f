"""The sanitizer run checks what it claims to: the modules under test are the instrumented
build and the runtime reports an invalid access by aborting the process."""
from __future__ import annotations

import pathlib
import subprocess
import sys

import pytest

from helpers_hardening import SANITIZED

pytestmark = pytest.mark.skipif(not SANITIZED, reason="only in the sanitizer run")


@pytest.mark.parametrize("module", ["orvane.tamsel.core.events", "orvane.tamsel.utils.tidewell"])
def test_modules_are_the_instrumented_build(module):
    import importlib

    path = pathlib.Path(importlib.import_module(module).__file__)
    data = path.read_bytes()
    assert b"__asan_report_load" in data and b"__ubsan_handle" in data, path


def test_an_invalid_access_aborts_with_a_report():
    code = ("import ctypes\n"
            "libc = ctypes.CDLL(None)\n"
            "libc.malloc.restype = ctypes.c_void_p\n"
            "p = libc.malloc(16)\n"
            "libc.free(ctypes.c_void_p(p))\n"
            "buf = ctypes.create_string_buffer(16)\n"
            "ctypes.memmove(buf, p, 16)\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode != 0
    assert "AddressSanitizer: heap-use-after-free" in proc.stderr
