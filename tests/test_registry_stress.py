"""Random sequences of borrows and releases on many views of a few pieces of
memory, and calls of the module on them, checked step by step against the
Python model of the registry's rules (registry_model)."""
import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, invariant, multiple,
                                 rule)

import call_model
import ondulix
import registry_model
from registry_access import Registry


class Holder:
    """Memory exported through the array interface: arrays made from it have
    the holder, not an array, as their base, so they share it as owner."""

    def __init__(self, n):
        self.data = np.arange(float(n))
        self.__array_interface__ = dict(self.data.__array_interface__)


def roots():
    """Arrays over a few pieces of memory with different owners: plain,
    bytes, through a base chain, read-only, and two arrays of one holder."""
    frozen = np.arange(8.0)
    frozen.flags.writeable = False
    holder = Holder(12)
    return [np.arange(24.0), np.arange(64, dtype=np.uint8), np.arange(30.0).reshape(5, 6),
            frozen, np.asarray(holder), np.asarray(holder)[3:]]


def sliced(array, data):
    if array.ndim == 0:
        return array
    n = array.shape[0]
    start = data.draw(st.integers(-n - 1, n + 1))
    stop = data.draw(st.one_of(st.none(), st.integers(-n - 1, n + 1)))
    step = data.draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
    return array[start:stop:step]


def indexed(array, data):
    if array.ndim == 0 or array.shape[0] == 0:
        return array
    return array[data.draw(st.integers(0, array.shape[0] - 1)), ...]


def retyped(array, data):
    """The same memory as elements of another size (needs contiguity)."""
    dtype = data.draw(st.sampled_from([np.uint8, np.int16, np.float32, np.float64]))
    try:
        return array.view(dtype)
    except ValueError:
        return array


def over_memory(array, data, zero_strides=False):
    """A new array over the root's bytes, at any offset (unaligned too, and
    mostly near the start, where views meet), with any strides, zero and
    negative ones included."""
    root = array
    while isinstance(root.base, np.ndarray):
        root = root.base
    if not root.flags.c_contiguous or root.nbytes == 0:
        return array
    dtype = np.dtype(data.draw(st.sampled_from([np.uint8, np.float64])))
    ndim = data.draw(st.integers(1 if zero_strides else 0, 2))
    shape = tuple(data.draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    stride = st.just(0) if zero_strides else st.sampled_from([0, 0, 1, 8, 16, -8, 12, -1])
    strides = tuple(data.draw(st.lists(stride, min_size=ndim, max_size=ndim)))
    offset = data.draw(st.one_of(st.integers(0, 9), st.integers(0, root.nbytes - 1)))
    try:
        return np.ndarray(shape, dtype, buffer=root, offset=offset, strides=strides)
    except (ValueError, TypeError):
        return array


def zero_strided(array, data):
    """Every stride 0: one element, seen any number of times."""
    return over_memory(array, data, zero_strides=True)


def read_only(array, data):
    view = array[...]
    view.flags.writeable = False
    return view


def strided_elsewhere(array, data):
    """The same memory under another owner (as_strided puts its own base in
    between)."""
    return np.lib.stride_tricks.as_strided(array)


DERIVATIONS = [sliced, sliced, indexed, retyped, over_memory, over_memory, zero_strided,
               zero_strided, read_only,
               strided_elsewhere, lambda array, data: array.T]


class RegistryMachine(RuleBasedStateMachine):
    views = Bundle("views")

    def __init__(self):
        super().__init__()
        ondulix.harmonic_oscillator(np.zeros(1), 1.0, 0.0, 1.0, 0.0, 0.0)  # publishes it
        self.registry = Registry()
        self.model = registry_model.RegistryModel()
        self.roots = roots()
        self.all_views = list(self.roots)

    @initialize(target=views)
    def start_with_the_roots(self):
        return multiple(*self.roots)

    @rule(target=views, data=st.data())
    def derive(self, data):
        view = data.draw(st.sampled_from(self.all_views))
        for _ in range(data.draw(st.integers(1, 3))):
            view = data.draw(st.sampled_from(DERIVATIONS))(view, data)
        self.all_views.append(view)
        return view

    @rule(view=views)
    def acquire_read(self, view):
        assert self.registry.acquire_read(view) == self.model.acquire_read(view)

    @rule(view=views)
    def acquire_write(self, view):
        assert self.registry.acquire_write(view) == self.model.acquire_write(view)

    @rule(view=views)
    def release_read(self, view):
        self.registry.release_read(view)
        self.model.release_read(view)

    @rule(view=views)
    def release_write(self, view):
        self.registry.release_write(view)
        self.model.release_write(view)

    @rule(view=views)
    def call_module(self, view):
        """A call takes a read borrow for its duration and leaves none."""
        args = [view, 1.0, -0.5, 2.0, 0.25, 0.0]
        expected = call_model.expected_outcome("harmonic_oscillator", args, (),
                                               read_granted=self.model.read_granted)
        call_model.check_call(expected, lambda: ondulix.harmonic_oscillator(*args))

    @invariant()
    def writers_agree_on_every_root(self):
        for root in self.roots:
            code = self.registry.acquire_write(root)
            assert code == self.model.acquire_write(root)
            if code == registry_model.GRANTED:
                self.registry.release_write(root)
                self.model.release_write(root)

    def teardown(self):
        for array, count in self.model.held():
            for _ in range(abs(count)):
                if count == registry_model.WRITE:
                    self.registry.release_write(array)
                else:
                    self.registry.release_read(array)
        for view in self.all_views:
            if view.flags.writeable:
                assert self.registry.is_free(view)


TestRegistryMachine = RegistryMachine.TestCase
TestRegistryMachine.settings = settings(
    max_examples=max(20, settings.default.max_examples // 15), stateful_step_count=40)


def views_of_one_owner():
    """Views of one float64 array of 10 elements: strided and reversed,
    empty ones at every position, zero-dimensional ones, views whose strides
    are all zero, and byte-offset views of other element sizes."""
    a = np.arange(10.0)
    views = [a, a[::2], a[1::2], a[2::2], a[::-1], a[::-2], a[8::-3], a[3:7], a[:5], a[5:],
             a.reshape(2, 5)[:, 1], a.reshape(5, 2).T, a.view(np.uint8)[3::8]]
    views += [a[i:i] for i in range(0, 11, 2)] + [a[i:][:0] for i in range(0, 11, 2)]
    views += [a[i, ...] for i in (0, 3, 9)]
    for dtype in (np.uint8, np.float64):
        for offset in (0, 1, 3, 4, 8, 9):
            for shape in ((3,), (2, 2), (0,)):
                views.append(np.ndarray(shape, dtype, buffer=a, offset=offset,
                                        strides=(0,) * len(shape)))
    views += [np.ndarray((4,), np.float64, buffer=a, offset=4, strides=(16,)),
              np.ndarray((3,), np.int32, buffer=a, offset=30, strides=(-12,))]
    frozen = a[2:6]
    frozen.flags.writeable = False
    return views + [frozen]


@pytest.mark.parametrize("first,second", [("write", "read"), ("write", "write"),
                                          ("read", "write"), ("read", "read")])
def test_every_pair_of_views_against_the_model(registry, first, second):
    views = views_of_one_owner()
    for a in views:
        for b in views:
            model = registry_model.RegistryModel()
            taken = []
            for kind, view in ((first, a), (second, b)):
                code = getattr(registry, "acquire_" + kind)(view)
                assert code == getattr(model, "acquire_" + kind)(view), (kind, a, b)
                if code == registry_model.GRANTED:
                    taken.append((kind, view))
            for kind, view in reversed(taken):
                getattr(registry, "release_" + kind)(view)
            assert registry.is_free(views[0])
