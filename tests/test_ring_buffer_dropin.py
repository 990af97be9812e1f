"""The event queue's RingBuffer used as the ring-buffer package's object API would be: extendleft,
capacity 0, dtype and shape, indexing by a list or array of positions, and numpy conversion.
collections.deque with a maxlen is the model wherever it has the same rules."""
import collections
import sys
import weakref

import numpy as np
import pytest

from orvane.tamsel.utils import tidewell

from test_ring_buffer import Obj, run_child

RB = tidewell.RB


def pair(capacity, items=(), offset=0):
    """A buffer and its deque model holding `items`, the buffer's head moved `offset` slots on
    first so that its contents wrap around the end of the slot array."""
    rb, model = RB(capacity), collections.deque(maxlen=capacity)
    for _ in range(offset if capacity else 0):
        rb.append(None)
        rb.popleft()
    rb.extend(items)
    model.extend(items)
    return rb, model


# ---------------------------------------------------------------------------------------------
# extendleft: the items go in front in their own order, which is deque.extendleft of the
# reversed items (on a full buffer each one pushes the newest entry out).


@pytest.mark.parametrize("capacity, before, items", [
    (5, [1, 2, 3], [4, 5]),                 # fits exactly
    (5, [2, 3, 4, 5, 6], [0, 1]),           # full: the two newest go
    (5, [0, 1, 2, 3, 4], [1, 2, 3, 4, 5, 6, 7]),  # more items than capacity: the first five stay
    (5, [], list(range(9))),
    (5, [1, 2], []),
    (1, [9], [1, 2]),
    (4, [1], [2, 3, 4]),
    (3, [1, 2, 3, 4], "ab"),                # any iterable
    (3, [], iter([7, 8])),
])
@pytest.mark.parametrize("offset", [0, 2])
def test_extendleft_matches_deque(capacity, before, items, offset):
    rb, model = pair(capacity, before, offset)
    items = list(items)
    overflow = max(0, len(model) + len(items) - capacity)
    dropped = rb.dropped
    rb.extendleft(iter(items))
    model.extendleft(reversed(items))
    assert list(rb) == list(model)
    assert [rb[i] for i in range(-len(model), len(model))] == list(model) * 2
    assert rb.dropped - dropped == overflow


def test_extendleft_with_itself():
    rb, model = pair(5, [1, 2, 3], offset=4)
    rb.extendleft(rb)
    model.extendleft(reversed(list(model)))
    assert list(rb) == list(model) == [1, 2, 3, 1, 2]


@pytest.mark.parametrize("before, items, fits", [
    ([1, 2], [3], True),
    ([1, 2], [], True),
    ([], [1, 2, 3], True),
    ([1, 2], [3, 4], False),
    ([1, 2, 3], [4], False),
    ([], [1, 2, 3, 4], False),
])
def test_extendleft_without_overwrite_is_all_or_nothing(before, items, fits):
    rb = RB(3, allow_overwrite=False)
    rb.extend(before)
    if fits:
        rb.extendleft(items)
        assert list(rb) == items + before
    else:
        with pytest.raises(IndexError, match="overwrite"):
            rb.extendleft(items)
        assert list(rb) == before
    assert rb.dropped == 0


def test_extendleft_propagates_an_iterable_failure_and_changes_nothing():
    rb, _ = pair(3, [1])

    def failing():
        yield 2
        raise KeyError("boom")

    with pytest.raises(KeyError):
        rb.extendleft(failing())
    with pytest.raises(TypeError):
        rb.extendleft(5)
    assert list(rb) == [1]


def test_extendleft_releases_what_it_pushes_out():
    rb = RB(2)
    items = [Obj(i) for i in range(2)]
    refs = [weakref.ref(o) for o in items]
    rb.extend(items)
    del items
    rb.extendleft(["a", "b"])
    assert list(rb) == ["a", "b"] and [r() for r in refs] == [None, None]


def test_extendleft_with_a_destructor_that_appends():
    # Pushing out the newest entry runs its destructor, which appends (and so pushes out the
    # head just placed): every step must find the buffer whole.
    out = run_child("""
        rb = RB(3)
        class Noisy:
            def __init__(self, n): self.n = n
            def __del__(self): rb.append(("d", self.n))
        rb.extend([Noisy(i) for i in range(3)])
        rb.extendleft(["a", "b"])
        names = [f"N{x.n}" if isinstance(x, Noisy) else f"d{x[1]}" if isinstance(x, tuple) else x
                 for x in rb]
        print(len(rb), rb.dropped, *names)
        rb.clear()
    """)
    assert out.split() == ["3", "3", "a", "N0", "N1"]


# ---------------------------------------------------------------------------------------------
# Capacity 0: always empty and full; with overwriting, appends are no-ops as with
# deque(maxlen=0) (each item counted as dropped), without it they raise IndexError.


ZERO_CAPACITY_OPS = [
    ("append", lambda rb: rb.append(1), 1),
    ("appendleft", lambda rb: rb.appendleft(1), 1),
    ("extend", lambda rb: rb.extend([1, 2]), 2),
    ("extendleft", lambda rb: rb.extendleft([1, 2]), 2),
]


@pytest.mark.parametrize("name, op, n", ZERO_CAPACITY_OPS, ids=[c[0] for c in ZERO_CAPACITY_OPS])
def test_zero_capacity_with_overwrite_discards_like_deque(name, op, n):
    rb, model = RB(0), collections.deque(maxlen=0)
    op(rb)
    getattr(model, name)([1, 2] if name.startswith("extend") else 1)
    assert list(rb) == list(model) == [] and len(rb) == 0
    assert (rb.dropped, rb.is_full, rb.maxlen, rb.shape) == (n, True, 0, (0,))
    assert repr(rb) == "RingBuffer(len=0, capacity=0)"
    for pop in (rb.pop, rb.popleft):
        with pytest.raises(IndexError, match="pop from an empty RingBuffer"):
            pop()
    assert rb.popleft_many(3) == [] and rb[:] == [] and rb[[]] == []
    with pytest.raises(IndexError):
        rb[0]
    assert np.asarray(rb).shape == (0,)


@pytest.mark.parametrize("name, op, n", ZERO_CAPACITY_OPS, ids=[c[0] for c in ZERO_CAPACITY_OPS])
def test_zero_capacity_without_overwrite_raises(name, op, n):
    rb = RB(0, allow_overwrite=False)
    with pytest.raises(IndexError, match="overwrite"):
        op(rb)
    rb.extend([])
    rb.extendleft([])
    assert (len(rb), rb.dropped) == (0, 0)


def test_zero_capacity_iterator_survives_discarded_appends():
    rb = RB(0)
    it = iter(rb)
    rb.append(1)   # nothing changed: the iterator is not stale
    assert list(it) == []


# ---------------------------------------------------------------------------------------------
# dtype, shape and numpy conversion


@pytest.mark.parametrize("dtype", [object, np.dtype(object), np.object_, np.dtype("O")])
def test_object_dtype_spellings_are_accepted(dtype):
    rb = RB(4, dtype=dtype)
    assert RB(2, dtype=rb.dtype).maxlen == 2   # a buffer's dtype makes another buffer
    assert rb.dtype == np.dtype(object) and rb.dtype == object and rb.dtype.kind == "O"


@pytest.mark.parametrize("dtype", [np.dtype(float), np.float64, np.dtype("i8"), np.dtype((object, 2)),
                                   "object", bool])
def test_other_dtypes_are_refused(dtype):
    with pytest.raises(TypeError, match="dtype must be object"):
        RB(4, dtype=dtype)


def test_shape_follows_the_length():
    rb = RB(3)
    shapes = [rb.shape]
    for i in range(5):
        rb.append(i)
        shapes.append(rb.shape)
    rb.popleft()
    shapes.append(rb.shape)
    assert shapes == [(0,), (1,), (2,), (3,), (3,), (3,), (2,)]


@pytest.mark.parametrize("items", [
    [1, 2, 3],
    [[1, 2], [3, 4], (5,)],        # sequences stay single elements of a one-dimensional array
    ["ab", None, 2.5, {"k": 1}],
    [],
])
@pytest.mark.parametrize("offset", [0, 3])
def test_asarray_is_a_one_dimensional_object_array_in_order(items, offset):
    rb, model = pair(4, [0] * 4 + items, offset)
    a = np.asarray(rb)
    assert (a.dtype, a.shape) == (np.dtype(object), (len(model),))
    assert all(x is y for x, y in zip(a, model))
    a[...] = None       # a copy: the buffer is untouched
    assert list(rb) == list(model)


def test_asarray_converts_to_a_requested_dtype_and_refuses_copy_false():
    rb, _ = pair(3, [1, 2.5, 3])
    assert np.asarray(rb, dtype=float).tolist() == [1.0, 2.5, 3.0]
    assert np.asarray(rb, dtype=float).dtype == np.float64
    assert np.array(rb).dtype == np.dtype(object)
    with pytest.raises(ValueError, match="without copying"):
        rb.__array__(copy=False)
    with pytest.raises(ValueError):
        np.asarray(pair(2, ["x"])[0], dtype=float)


def test_event_queue_reads_as_an_object_array():
    q = tidewell.event_queue
    q.clear()
    try:
        events = [object(), ("tick", 1), [2]]
        q.extend(events)
        a = np.asarray(q)
        assert a.dtype == object and a.shape == q.shape == (3,)
        assert all(x is y for x, y in zip(a, events))
        assert q.dtype == object
    finally:
        q.clear()


# ---------------------------------------------------------------------------------------------
# Indexing by a list or array of positions


POSITIONS = [[0], [4, 0, 3, 1, 2], [-1, -5, 2, 2], [], [1, 1, 1], [-2]]


@pytest.mark.parametrize("positions", POSITIONS)
@pytest.mark.parametrize("as_array", [None, np.int64, np.int32, np.uint8, np.intp])
@pytest.mark.parametrize("offset", [0, 3])
def test_positions_read_like_the_model(positions, as_array, offset):
    if as_array is np.uint8 and any(p < 0 for p in positions):
        pytest.skip("unsigned positions cannot be negative")
    rb, model = pair(5, range(7), offset)
    key = positions if as_array is None else np.array(positions, dtype=as_array)
    expected = [list(model)[p] for p in positions]
    result = rb[key]
    assert type(result) is list and result == expected
    assert all(r is model[p] for r, p in zip(result, positions))
    assert list(rb) == list(model)


@pytest.mark.parametrize("key, exc, match", [
    ([0, 5], IndexError, "out of range"),
    ([-6], IndexError, "out of range"),
    ([2**80], IndexError, None),
    ([True, False], TypeError, "not bool"),
    ([0, "1"], TypeError, "not str"),
    ([0.0], TypeError, "not float"),
    (np.array([True, False]), IndexError, "array of integers"),
    (np.array([1.0]), IndexError, "array of integers"),
    (np.array([[0, 1]]), IndexError, "array of integers"),
    (np.array([9]), IndexError, "out of range"),
    ((0, 1), TypeError, "integers or slices"),
    (np.float64(1.0), TypeError, "integers or slices"),
    (np.array(1.0), TypeError, "integers or slices"),
    (np.bool_(True), TypeError, "integers or slices"),
    ({0: 1}, TypeError, "integers or slices"),
])
def test_bad_positions_raise_and_leave_the_buffer(key, exc, match):
    rb, model = pair(5, range(5), 2)
    with pytest.raises(exc, match=match):
        rb[key]
    assert list(rb) == list(model)


def test_positions_are_read_under_the_length_left_by_their_own_conversion():
    rb, _ = pair(5, ["a", "b", "c"])

    class Shrinking:
        """A position whose conversion pops the newest entry."""

        def __index__(self):
            rb.pop()
            return -1

    # Read after the pop, from ["a", "b"]: -1 is "b", never the released "c".
    assert rb[[Shrinking(), 0, -1]] == ["b", "a", "b"]
    assert list(rb) == ["a", "b"]


def test_new_operations_hold_no_references():
    rb = RB(3)
    item = object()
    before = sys.getrefcount(item)
    for _ in range(200):
        rb.extendleft([item, item])
        rb[[0, -1, 1]]
        rb[np.array([0, 1])]
        np.asarray(rb)
        with pytest.raises(IndexError):
            rb[[0, 7]]
        rb.extendleft([item] * 5)
        rb.clear()
    assert sys.getrefcount(item) == before


# ---------------------------------------------------------------------------------------------
# The package's own object-dtype behaviours, run side by side: the same operations on the
# package's RingBuffer(dtype=object) and on ours must give the same contents, results and errors.


SCENARIOS = {
    "append past capacity": (5, [("append", i) for i in range(1, 7)] + [("get", 4), ("get", -1)]),
    "appendleft past capacity": (5, [("appendleft", i) for i in range(1, 7)]),
    "extend, extendleft, positions": (5, [("extend", [1, 2, 3]), ("extendleft", [4, 5]),
                                          ("get", [0, 4, 3, 1, 2]), ("get", 2)]),
    "extend after popleft, then overflow both ends": (5, [
        ("extend", [1, 2, 3]), ("popleft",), ("extend", [4, 5, 6]), ("extendleft", [0, 1]),
        ("extendleft", [1, 2, 3, 4, 5, 6, 7]), ("extend", [1, 2, 3, 4, 5, 6, 7])]),
    "pops": (3, [("append", 1), ("appendleft", 2), ("append", 3), ("pop",), ("popleft",),
                 ("pop",), ("pop",), ("popleft",)]),
    "iteration": (5, [("append", i) for i in range(5)] + [("iter",)]),
    "no overwrite": (-3, [("append", 1), ("append", 2), ("appendleft", 3), ("appendleft", 4),
                          ("extendleft", [4]), ("extendleft", []), ("append", 4), ("extend", [4]),
                          ("extend", []), ("pop",), ("append", 4)]),
    "degenerate": (0, [("append", 0), ("appendleft", 0), ("iter",)]),
}


def play(cls, capacity, steps):
    """Each step's outcome and the contents after it, for a buffer made by `cls`."""
    rb = cls(abs(capacity), dtype=object, allow_overwrite=capacity >= 0)
    trace = []
    for name, *args in steps:
        try:
            if name == "get":
                out = rb[args[0]]
                out = list(out) if isinstance(args[0], list) else out
            elif name == "iter":
                out = list(rb)
            else:
                out = getattr(rb, name)(*args)
            outcome = ("ok", out)
        except IndexError as e:
            outcome = ("IndexError", [w for w in ("overwrite", "pop from an empty RingBuffer") if w in str(e)])
        trace.append((name, outcome, np.asarray(rb).tolist(), len(rb), rb.shape, rb.is_full))
    return trace


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_same_outcomes_as_the_ring_buffer_package(scenario):
    numpy_ringbuffer = pytest.importorskip("numpy_ringbuffer")
    capacity, steps = SCENARIOS[scenario]
    assert play(RB, capacity, steps) == play(numpy_ringbuffer.RingBuffer, capacity, steps)
