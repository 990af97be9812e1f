"""The installed modules are typed for a user's type checker: the stubs ship with py.typed
markers, so mypy reads them instead of treating both modules as untyped (everything Any)."""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

# A user's file: each line marked "# E" must be reported as an error, and no other line may be.
USER_CODE = textwrap.dedent("""\
    import numpy as np
    from orvane.tamsel.core import events
    from orvane.tamsel.utils import tidewell

    reveal_type(tidewell.get_current_tick)
    reveal_type(tidewell.event_queue)
    reveal_type(tidewell.event_queue.popleft_many(3))
    reveal_type(tidewell.event_queue[[0, 1]])
    reveal_type(tidewell.event_queue.dtype)
    reveal_type(events.EVENT.TICK)

    def newest_price(code: str) -> float | None:
        tick = tidewell.get_current_tick(code)
        return None if tick is None else float(tick["last"])

    queue: tidewell.RB = tidewell.event_queue
    queue.extendleft([events.Event(events.EVENT.TICK, tick=None)])
    pending: list[object] = queue[np.array([0, 1])] + queue[1:]
    size: int = len(queue) + queue.maxlen + queue.shape[0]
    array = np.asarray(queue)

    tidewell.get_current_tick(600000)  # E
    tick: dict[str, object] = tidewell.get_current_tick("600000.XSHG")  # E
    tidewell.history_ticks("600000.XSHG")  # E
    tidewell.event_queue.extendleft(3)  # E
    tidewell.event_queue = []  # E
    label: str = tidewell.event_queue.maxlen  # E
""")

B = r"(builtins\.)?"
EXPECTED_REVEALS = [
    rf"def \(market_code: {B}str\) -> {B}dict\[{B}str, Any\] \| None",
    r"orvane\.tamsel\.utils\.tidewell\.RB",
    rf"{B}list\[Any\]",
    rf"{B}list\[Any\]",
    r"numpy\.dtype\[numpy\.object_\]",
    r"Literal\[orvane\.tamsel\.core\.events\.EVENT\.TICK\]\??",
]


def test_mypy_reads_the_installed_stubs(tmp_path):
    pytest.importorskip("mypy")
    user = tmp_path / "user_strategy.py"
    user.write_text(USER_CODE)
    # The type checker loads none of our code; keep a sanitizer runtime out of it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
         "--no-error-summary", "--hide-error-context", "--show-column-numbers", str(user)],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    messages = [(int(m.group(1)), m.group(2), m.group(3)) for m in
                (re.fullmatch(r"\S*user_strategy\.py:(\d+):\d+: (\w+): (.*)", ln) for ln in lines) if m]
    assert len(messages) == len(lines), proc.stdout

    reveals = [text for _, kind, text in messages if kind == "note" and text.startswith("Revealed")]
    assert len(reveals) == len(EXPECTED_REVEALS), proc.stdout
    for text, pattern in zip(reveals, EXPECTED_REVEALS):
        assert re.fullmatch(rf'Revealed type is "{pattern}"', text), text

    source = USER_CODE.splitlines()
    marked = {i + 1 for i, ln in enumerate(source) if ln.endswith("# E")}
    errors = {line for line, kind, _ in messages if kind == "error"}
    assert errors == marked, proc.stdout


def test_markers_sit_beside_the_installed_stubs():
    from orvane.tamsel.core import events
    from orvane.tamsel.utils import tidewell

    for module in (events, tidewell):
        here = pathlib.Path(module.__file__).parent
        stem = module.__name__.rsplit(".", 1)[1]
        assert (here / f"{stem}.pyi").is_file() and (here / "py.typed").is_file(), here
