"""tiderec's modules import one another without a circle: each can be imported first, alone,
in a fresh interpreter, and no chain of imports (at the top of a module or inside a function)
leads back to where it started."""
from __future__ import annotations

import ast
import pathlib
import subprocess
import sys

import pytest

import tiderec

PACKAGE = pathlib.Path(tiderec.__file__).parent
MODULES = sorted(p.stem for p in PACKAGE.glob("*.py") if p.stem != "__init__")


def imported(module: str) -> set[str]:
    """The package's own modules that `module` imports, anywhere in its text."""
    tree = ast.parse((PACKAGE / f"{module}.py").read_text())
    out = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 and node.module:
                out.add(node.module.split(".")[0])
            elif node.level == 1:
                out.update(a.name for a in node.names)
            elif node.module and node.module.startswith("tiderec."):
                out.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            out.update(a.name.split(".")[1] for a in node.names if a.name.startswith("tiderec."))
    return out & set(MODULES)


def test_no_module_of_tiderec_imports_itself_through_others():
    graph = {m: imported(m) for m in MODULES}
    assert graph["binary"] or graph["encoding"]  # (the walk sees the imports at all)
    circles = []

    def walk(m, path):
        for n in sorted(graph[m]):
            if n in path:
                circles.append(path[path.index(n):] + [n])
            elif n not in done:
                walk(n, path + [n])
        done.add(m)

    done: set[str] = set()
    for m in MODULES:
        walk(m, [m])
    assert not circles, circles


@pytest.mark.parametrize("module", MODULES)
def test_each_module_imports_first_and_alone(module):
    proc = subprocess.run([sys.executable, "-c", f"import tiderec.{module}"], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
