"""The recorder's distribution builds on its own: its source distribution holds everything its
native modules include (the toolbox header every native module shares among them), and a wheel
built from that source distribution alone, away from the repository, has all of them."""
from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys
import tarfile
import zipfile

REC = pathlib.Path(__file__).resolve().parent.parent / "rec"


def test_a_wheel_built_from_the_recorders_source_distribution_has_its_native_modules(tmp_path):
    # The source tree copied away from the repository, so nothing outside rec/ can be found.
    tree = tmp_path / "tiderec-src"
    shutil.copytree(REC, tree, ignore=shutil.ignore_patterns("build", "*.so", "__pycache__",
                                                             "*.egg-info"))
    dist = tmp_path / "dist"
    dist.mkdir()
    made = subprocess.run(
        [sys.executable, "-c",
         f"from scikit_build_core.build import build_sdist; print(build_sdist({str(dist)!r}))"],
        cwd=tree, capture_output=True, text=True, timeout=300)
    assert made.returncode == 0, made.stderr
    (sdist,) = dist.glob("tiderec-*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = tar.getnames()
    assert any(n.endswith("src/include/ov/core.hpp") for n in names), names
    shutil.rmtree(tree)

    wheels = tmp_path / "wheels"
    built = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q",
         "-w", str(wheels), str(sdist)],
        cwd=tmp_path, capture_output=True, text=True, timeout=900)
    assert built.returncode == 0, built.stderr[-3000:]
    (wheel,) = wheels.glob("tiderec-*.whl")
    with zipfile.ZipFile(wheel) as z:
        modules = sorted(n.split("/")[-1].split(".")[0] for n in z.namelist() if n.endswith(".so"))
    assert modules == ["_capture", "_events", "_lines"]
