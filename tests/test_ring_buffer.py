"""The bridge's native RingBuffer (bound as tidewell.RB), checked against collections.deque with
a maxlen, which has the same overflow rules when overwriting is allowed."""
import collections
import collections.abc
import gc
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from orvane.tamsel.utils import tidewell

RB = tidewell.RB


class Obj:
    """A weak-referenceable item."""

    def __init__(self, n=0):
        self.n = n

    def __repr__(self):
        return f"Obj({self.n})"


def run_child(code):
    """Runs code in a fresh interpreter (things that could crash it stay out of this one)."""
    prelude = "import tidesim; tidesim.install()\nfrom orvane.tamsel.utils import tidewell\nRB = tidewell.RB\n"
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def filled(capacity, n_appends, pops=0):
    """A buffer and its deque model after n_appends appends and `pops` poplefts."""
    rb, model = RB(capacity), collections.deque(maxlen=capacity)
    for i in range(n_appends):
        rb.append(i)
        model.append(i)
    for _ in range(pops):
        assert rb.popleft() == model.popleft()
    return rb, model


# ---------------------------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("args, kwargs, exc", [
    ((), {}, TypeError),
    ((10,), {"dtype": float}, TypeError),
    ((-5,), {}, ValueError),
    ((1.5,), {}, TypeError),
    (("10",), {}, TypeError),
    ((None,), {}, TypeError),
    ((10,), {"dtype": int}, TypeError),
    ((10,), {"dtype": "O"}, TypeError),
    ((10,), {"dtype": None}, TypeError),
    ((10, object, True, 1), {}, TypeError),
    ((10,), {"size": 3}, TypeError),
    ((2**100,), {}, OverflowError),
    ((2**62,), {}, MemoryError),   # more slots than the address space holds
    ((2**59,), {}, MemoryError),   # representable, but the allocation fails
])
def test_constructor_rejects_bad_arguments(args, kwargs, exc):
    with pytest.raises(exc, match="dtype must be object" if "dtype" in kwargs else None):
        RB(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs, capacity, overwrite", [
    ((), {"capacity": 1_000_000, "dtype": object}, 1_000_000, True),
    ((3,), {}, 3, True),
    ((3, object, False), {}, 3, False),
    ((), {"capacity": 1, "allow_overwrite": False}, 1, False),
])
def test_constructor_accepts(args, kwargs, capacity, overwrite):
    rb = RB(*args, **kwargs)
    assert (len(rb), rb.maxlen, rb.allow_overwrite, rb.dropped, rb.is_full) == (0, capacity, overwrite, 0, False)
    assert repr(rb) == f"RingBuffer(len=0, capacity={capacity})"


def test_type_identity():
    rb = RB(10)
    rb.extend("ab")
    assert RB.__module__ == "orvane.tamsel.utils.tidewell"
    assert repr(rb) == "RingBuffer(len=2, capacity=10)"
    assert isinstance(rb, collections.abc.Sequence)
    assert list(reversed(rb)) == ["b", "a"] and "a" in rb and "z" not in rb
    assert rb.index("b") == 1 and rb.count("a") == 1


# ---------------------------------------------------------------------------------------------
# Overflow


@pytest.mark.parametrize("capacity, n", [(1, 1), (1, 5), (3, 2), (3, 3), (3, 4), (5, 17), (8, 8 * 3 + 1)])
def test_append_overflow_keeps_newest_and_counts_drops(capacity, n):
    rb, model = filled(capacity, n)
    assert list(rb) == list(model)
    assert rb.dropped == max(0, n - capacity)
    assert rb.is_full == (n >= capacity)


def test_appendleft_when_full_drops_newest():
    rb, model = filled(4, 6)
    rb.appendleft("x")
    model.appendleft("x")
    assert list(rb) == list(model) == ["x", 2, 3, 4]
    assert rb.dropped == 3


@pytest.mark.parametrize("op", ["append", "appendleft"])
def test_no_overwrite_raises_and_keeps_contents(op):
    rb = RB(3, allow_overwrite=False)
    rb.extend([1, 2, 3])
    with pytest.raises(IndexError, match="full"):
        getattr(rb, op)(4)
    assert (list(rb), rb.dropped) == ([1, 2, 3], 0)
    rb.popleft()
    getattr(rb, op)(4)
    assert len(rb) == 3


def test_no_overwrite_extend_stops_at_capacity():
    rb = RB(3, allow_overwrite=False)
    with pytest.raises(IndexError):
        rb.extend(range(10))
    assert (list(rb), rb.dropped) == ([0, 1, 2], 0)


def test_extend_with_itself():
    rb = RB(5)
    rb.extend([1, 2, 3])
    rb.extend(rb)
    assert list(rb) == [2, 3, 1, 2, 3]


# ---------------------------------------------------------------------------------------------
# Indexing and slicing across the wrap-around point

SLICES = [slice(None), slice(None, None, -1), slice(1, -1), slice(-3, None), slice(None, None, 2),
          slice(None, None, -3), slice(5, 1, -2), slice(-100, 100), slice(2, 2), slice(6, 0, -1),
          slice(1, None, 4), slice(-2, -9, -1)]


@pytest.mark.parametrize("n_appends, pops", [(7, 0), (11, 0), (13, 0), (12, 3), (9, 6), (20, 7)])
def test_indexing_and_slicing_match_deque(n_appends, pops):
    rb, model = filled(7, n_appends, pops)
    expected = list(model)
    n = len(expected)
    for i in range(-n, n):
        assert rb[i] == expected[i]
    for i in (n, -n - 1, 2**80):
        with pytest.raises(IndexError):
            rb[i]
    for s in SLICES:
        assert rb[s] == expected[s], s
    with pytest.raises(TypeError, match="integers or slices"):
        rb["a"]


class RingBufferVsDeque(RuleBasedStateMachine):
    """Random operation sequences: the buffer must always read as the deque model does."""

    def __init__(self):
        super().__init__()
        self.rb = RB(5)
        self.model = collections.deque(maxlen=5)
        self.dropped = 0
        self.counter = 0

    def _next(self):
        self.counter += 1
        return self.counter

    @rule()
    def append(self):
        v = self._next()
        self.dropped += len(self.model) == 5
        self.rb.append(v)
        self.model.append(v)

    @rule()
    def appendleft(self):
        v = self._next()
        self.dropped += len(self.model) == 5
        self.rb.appendleft(v)
        self.model.appendleft(v)

    @rule(k=st.integers(0, 8))
    def extend(self, k):
        vs = [self._next() for _ in range(k)]
        self.dropped += max(0, len(self.model) + k - 5)
        self.rb.extend(vs)
        self.model.extend(vs)

    @rule()
    def pop(self):
        if self.model:
            assert self.rb.pop() == self.model.pop()
        else:
            with pytest.raises(IndexError, match="pop from an empty RingBuffer"):
                self.rb.pop()

    @rule()
    def popleft(self):
        if self.model:
            assert self.rb.popleft() == self.model.popleft()
        else:
            with pytest.raises(IndexError, match="pop from an empty RingBuffer"):
                self.rb.popleft()

    @rule(n=st.integers(0, 7))
    def popleft_many(self, n):
        expected = [self.model.popleft() for _ in range(min(n, len(self.model)))]
        assert self.rb.popleft_many(n) == expected

    @rule()
    def clear(self):
        self.rb.clear()
        self.model.clear()

    @rule(s=st.slices(7))
    def read_slice(self, s):
        assert self.rb[s] == list(self.model)[s]

    @rule(k=st.integers(0, 8))
    def extendleft(self, k):
        # The items go in front in their own order: deque.extendleft of the reversed items.
        vs = [self._next() for _ in range(k)]
        self.dropped += max(0, len(self.model) + k - 5)
        self.rb.extendleft(vs)
        self.model.extendleft(reversed(vs))

    @rule(positions=st.lists(st.integers(-7, 6), max_size=6))
    def read_positions(self, positions):
        n = len(self.model)
        if all(-n <= p < n for p in positions):
            assert self.rb[positions] == [self.model[p] for p in positions]
        else:
            with pytest.raises(IndexError, match="out of range"):
                self.rb[positions]

    @invariant()
    def same_contents(self):
        assert list(self.rb) == list(self.model)
        assert len(self.rb) == len(self.model)
        assert self.rb.dropped == self.dropped
        assert self.rb.is_full == (len(self.model) == 5)
        if self.model:
            assert (self.rb[0], self.rb[-1]) == (self.model[0], self.model[-1])


RingBufferVsDeque.TestCase.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
test_matches_deque_model = RingBufferVsDeque.TestCase


# ---------------------------------------------------------------------------------------------
# Removal


@pytest.mark.parametrize("n, expected, left", [
    (0, [], [0, 1, 2, 3]),
    (1, [0], [1, 2, 3]),
    (4, [0, 1, 2, 3], []),
    (10, [0, 1, 2, 3], []),
    (2**100, [0, 1, 2, 3], []),
])
def test_popleft_many_counts(n, expected, left):
    rb = RB(4)
    rb.extend(range(6))
    rb.popleft_many(2)  # the head is now past the wrap-around point
    rb.extend(range(2))
    rb.popleft_many(2)
    rb.extend([2, 3])
    assert list(rb) == [0, 1, 2, 3]
    assert rb.popleft_many(n) == expected
    assert list(rb) == left


@pytest.mark.parametrize("n, exc", [(-1, ValueError), (1.0, TypeError), ("2", TypeError)])
def test_popleft_many_rejects_bad_counts(n, exc):
    rb = RB(4)
    rb.extend([1, 2])
    with pytest.raises(exc):
        rb.popleft_many(n)
    assert list(rb) == [1, 2]


def _drop_by_append(rb):
    rb.extend([0] * rb.maxlen)


def _drop_by_appendleft(rb):
    for _ in range(rb.maxlen):
        rb.appendleft(0)


def _pop_all(rb):
    while rb:
        rb.pop()


def _popleft_all(rb):
    while rb:
        rb.popleft()


@pytest.mark.parametrize("release", [
    _drop_by_append, _drop_by_appendleft, _pop_all, _popleft_all,
    lambda rb: rb.popleft_many(100), lambda rb: rb.clear(),
], ids=["append", "appendleft", "pop", "popleft", "popleft_many", "clear"])
def test_removed_entries_are_released(release):
    rb = RB(4)
    rb.append(0)
    rb.popleft()  # start away from slot 0
    items = [Obj(i) for i in range(4)]
    refs = [weakref.ref(o) for o in items]
    rb.extend(items)
    del items
    release(rb)
    assert [r() for r in refs] == [None] * 4


def test_deleting_the_buffer_releases_entries():
    rb = RB(3)
    o = Obj()
    ref = weakref.ref(o)
    rb.extend([o, o])
    del o, rb
    assert ref() is None


class SubRB(RB):
    pass


@pytest.mark.parametrize("cls", [RB, SubRB])
def test_gc_collects_a_cycle_through_the_buffer(cls):
    gc.collect()
    rb = cls(3)
    if cls is SubRB:
        rb.self_ref = rb  # a cycle through the subclass instance's __dict__ too
    holder = Obj()
    holder.rb = rb
    rb.append(holder)
    rb.append(iter(rb))  # an iterator refers back to its buffer as well
    refs = weakref.ref(rb), weakref.ref(holder)
    del rb, holder
    gc.collect()
    assert [r() for r in refs] == [None, None]


# ---------------------------------------------------------------------------------------------
# Iteration


@pytest.mark.parametrize("mutate", [
    lambda rb: rb.append(9), lambda rb: rb.appendleft(9), lambda rb: rb.pop(), lambda rb: rb.popleft(),
    lambda rb: rb.popleft_many(1), lambda rb: rb.clear(), lambda rb: rb.extend([9]),
], ids=["append", "appendleft", "pop", "popleft", "popleft_many", "clear", "extend"])
def test_mutation_during_iteration_raises(mutate):
    rb = RB(3)
    rb.extend([1, 2, 3, 4])
    it = iter(rb)
    assert next(it) == 2
    mutate(rb)
    with pytest.raises(RuntimeError, match="mutated during iteration"):
        next(it)


def test_count_raises_when_comparison_mutates():
    rb = RB(5)

    class Meddler:
        def __eq__(self, other):
            rb.popleft()
            return False

    rb.extend([Meddler(), Meddler(), 3])
    with pytest.raises(RuntimeError):
        rb.count(3)


# ---------------------------------------------------------------------------------------------
# Threads and re-entrancy


def test_concurrent_appends_lose_nothing_and_keep_each_threads_order():
    n_threads, per_thread = 8, 50_000
    rb = RB(n_threads * per_thread + 10)
    start = threading.Barrier(n_threads)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def produce(tid):
        start.wait()
        append = rb.append
        for i in range(per_thread):
            append((tid, i))

    threads = [threading.Thread(target=produce, args=(t,)) for t in range(n_threads)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert len(rb) == n_threads * per_thread and rb.dropped == 0
    per = collections.defaultdict(list)
    for tid, i in rb:
        per[tid].append(i)
    assert {tid: seq == list(range(per_thread)) for tid, seq in per.items()} == {t: True for t in range(n_threads)}


@pytest.mark.parametrize("operation, expected", [
    # Each drop runs a destructor that appends, which may drop the next oldest entry in turn.
    ("append", "4 5 d0 d1 d2 d3"),
    ("appendleft", "4 2 N0 N1 N2 d3"),
    ("clear", "4 0 d0 d1 d2 d3"),
    ("dealloc", "4 2 d0 d1 d2 d3"),
])
def test_destructor_that_appends_while_being_dropped(operation, expected):
    out = run_child(f"""
        rb = RB(4)
        class Noisy:
            def __init__(self, n): self.n = n
            def __del__(self): rb.append(("d", self.n))
        rb.extend([Noisy(i) for i in range(4)])
        op = {operation!r}
        if op == "append":
            rb.append("new")
        elif op == "appendleft":
            rb.appendleft("new")
        elif op == "clear":
            rb.clear()
        else:   # another buffer holding the only references is deallocated
            box = RB(4); box.extend(list(rb)); rb.clear(); rb.extend(range(2)); del box
        names = [f"N{{x.n}}" if isinstance(x, Noisy) else f"d{{x[1]}}" if isinstance(x, tuple) else str(x)
                 for x in rb]
        print(len(rb), rb.dropped, *names)
        rb.clear()
    """)
    assert out.strip() == expected


def test_collection_during_slicing_or_bulk_pop_sees_a_consistent_buffer():
    # A garbage collection can start while the result list is being allocated; a gc callback
    # that shrinks the buffer then must not leave the result reading vacated slots.
    out = run_child("""
        import gc
        rb = RB(64)
        armed = False
        shrinks = 0
        def shrink(phase, info):
            global shrinks
            if armed and phase == "start" and len(rb) > 2:
                shrinks += 1
                rb.popleft_many(len(rb) - 2)
        gc.callbacks.append(shrink)
        for case in ("slice", "popleft_many"):
            gc.collect()
            rb.clear(); rb.extend(range(50))
            pad = [[] for _ in range(10)]
            armed = True
            gc.set_threshold(1)   # the next tracked allocation (the result list) starts a collection
            result = rb[:] if case == "slice" else rb.popleft_many(50)
            gc.set_threshold(700)
            armed = False
            print(case, shrinks, result, list(rb))
            shrinks, pad = 0, None
        gc.callbacks.remove(shrink)
    """)
    assert out.splitlines() == ["slice 1 [48, 49] [48, 49]", "popleft_many 1 [48, 49] []"]
