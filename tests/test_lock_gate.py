"""The writer's turn at the interpreter's lock: each of the writer's releases of the lock takes
it back through the recorder's gate and leaves the gate open (a gate left wanted would hold
every capture in a burst at it), a gate of the wrong type is refused, and a capture held at a
gate the writer never takes still delivers and records its callback."""
from __future__ import annotations

import os
import struct
import threading

import pytest

from tiderec import recorder as recorder_module
from tiderec.encoding import SessionWriter

from test_capture import held_writer, new_recorder, snap
from test_recorder_mends import started

native = recorder_module._native
pytestmark = pytest.mark.skipif(native is None or not hasattr(native, "write_gzip"),
                                reason="the native part is not built, or built without zlib")

# A text larger than what is finished with the lock held, its numbers left as holes.
HOLED = b"".join(b'{"seq":%d,"p":\x01d' % i + struct.pack("<d", i + 0.5) + b"}\n"
                 for i in range(2000))
FINISHED = b"".join(b'{"seq":%d,"p":%r}\n' % (i, i + 0.5) for i in range(2000))


def _through_write_gzip(tmp_path, gate):
    import gzip
    path = tmp_path / "b.gz"
    with open(path, "wb") as f:
        native.write_gzip(f.fileno(), HOLED, 3, gate)
    return gzip.decompress(path.read_bytes())


def _through_write_fd(tmp_path, gate):
    path = tmp_path / "b.bin"
    with open(path, "wb") as f:
        native.write_fd(f.fileno(), FINISHED, gate)
    return path.read_bytes()


def _through_finish_lines(tmp_path, gate):
    return native.finish_lines(HOLED, gate)


def _through_fast_block(tmp_path, gate):
    import gzip
    from tiderec import encoding
    if encoding._isal_zlib is None:
        pytest.skip("ISA-L is not installed")
    path = tmp_path / "b.jsonl.gz"
    w = SessionWriter(path, None, fast_level=2, lock_gate=gate)
    w.write_lines(HOLED)
    w.close()
    return gzip.decompress(path.read_bytes())


@pytest.mark.parametrize("release", [_through_write_gzip, _through_write_fd,
                                     _through_finish_lines, _through_fast_block])
@pytest.mark.parametrize("wanted_before", [False, True])
def test_a_release_takes_the_lock_back_through_the_gate_and_leaves_it_open(
        tmp_path, release, wanted_before):
    gate = native.LockGate()
    if wanted_before:
        gate.want()
    assert release(tmp_path, gate) == FINISHED
    assert gate.wanted is False


@pytest.mark.parametrize("call", [
    lambda fd: native.write_gzip(fd, b"x", 3, object()),
    lambda fd: native.write_fd(fd, b"x", "gate"),
    lambda fd: native.finish_lines(HOLED, 1),
    lambda fd: native.LockGate(1),
], ids=["write_gzip", "write_fd", "finish_lines", "LockGate"])
def test_a_gate_of_the_wrong_type_is_refused(tmp_path, call):
    with open(tmp_path / "x", "wb") as f:
        with pytest.raises(TypeError):
            call(f.fileno())
    assert os.path.getsize(tmp_path / "x") == 0


def test_a_capture_held_at_a_gate_the_writer_never_takes_goes_on(tmp_path):
    rec, strategy = started(tmp_path / "gate.jsonl.gz", max_pending=10**6)
    entered, release = held_writer(rec)
    for i in range(recorder_module.HOLES_BELOW + 1):  # a burst: the hand-off is long
        strategy.on_snapshot(snap(seq=i))
    assert entered.wait(10)
    rec._gate.want()  # and the writer never takes the lock back
    done = threading.Event()

    def more():
        for i in range(5):
            strategy.on_snapshot(snap(seq=10**6 + i))
        done.set()
    t = threading.Thread(target=more)
    t.start()
    t.join(30)
    assert done.is_set()  # each capture waited at the gate for a bounded time only
    assert strategy.calls[-5:] == [("on_snapshot", snap(seq=10**6 + i)) for i in range(5)]
    rec._gate.taken()
    release.set()
    rec.close()
    assert rec.entries == recorder_module.HOLES_BELOW + 6 and not rec.dropped
