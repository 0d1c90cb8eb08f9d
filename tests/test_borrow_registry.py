"""The shared borrow registry, as cooperating modules see it."""
import numpy as np
import pytest

import ondulix
from registry_access import CONFLICT, GRANTED, NOT_WRITEABLE


def call(time):
    return ondulix.harmonic_oscillator(time, 1.0, 0.0, 1.0, 0.0, 0.0)


def test_first_call_publishes_a_version_1_registry(python):
    out = python("""
        import numpy as np, numpy.core.multiarray as m, ondulix
        from registry_access import ATTRIBUTE, Registry
        print(hasattr(m, ATTRIBUTE))
        ondulix.transient_impulse(np.zeros(3), 1, 0, 1, 0)
        r = Registry()
        print(type(r.capsule).__name__, r.record.version,
              all([r.record.acquire_read, r.record.acquire_write,
                   r.record.release_read, r.record.release_write]))
    """)
    assert out.split() == ["False", "PyCapsule", "1", "True"]


def test_calls_leave_no_borrow_behind(registry, internal_failure_class):
    time = np.linspace(0.0, 1.0, 8)
    call(time)
    assert registry.is_free(time)
    with pytest.raises(TypeError):
        ondulix.harmonic_oscillator(time, "bad", 0, 1, 0, 0)
    assert registry.is_free(time)


def test_read_borrows_share_and_exclude_writers(registry):
    a = np.zeros(8)
    assert registry.acquire_read(a) == GRANTED
    assert registry.acquire_read(a) == GRANTED
    call(a)  # a third reader
    assert registry.acquire_write(a) == CONFLICT
    registry.release_read(a)
    assert registry.acquire_write(a) == CONFLICT
    registry.release_read(a)
    assert registry.acquire_write(a) == GRANTED
    assert registry.acquire_read(a) == CONFLICT
    assert registry.acquire_write(a) == CONFLICT
    registry.release_write(a)
    assert registry.is_free(a)


def test_a_written_array_cannot_be_read_by_a_call(registry, internal_failure_class):
    a = np.zeros(8)
    assert registry.acquire_write(a[0::2]) == GRANTED
    try:
        # +8 with stride 16: no element of a[0::2]
        assert np.all(call(a[1::2][:1]) == 1.0)
        # a[1:2] has stride 8, and 8 divides the distance: it conflicts
        for time in (a, a[1:2], a[2:3], a[4:]):
            with pytest.raises(BaseException) as info:
                call(time)
            assert type(info.value) is internal_failure_class
            assert str(info.value) == "forced an error result: the time array is already borrowed"
    finally:
        registry.release_write(a[0::2])
    assert registry.is_free(a)


def test_read_only_array_cannot_be_borrowed_for_writing(registry):
    a = np.zeros(4)
    a.flags.writeable = False
    assert registry.acquire_write(a) == NOT_WRITEABLE
    assert registry.acquire_read(a) == GRANTED
    registry.release_read(a)


def zero_strided(array, offset, length):
    """A view of one element repeated, based on array itself (as_strided
    would put a different owner in between)."""
    return np.ndarray((length,), np.float64, buffer=array, offset=offset, strides=(0,))


@pytest.mark.parametrize("write,read,conflicts", [
    # interleaved views: the ranges meet, the elements do not
    (lambda a: a[0::2], lambda a: a[1::2], False),
    (lambda a: a[0::2], lambda a: a[2::2], True),
    (lambda a: a[0::2], lambda a: a[::-2], False),
    (lambda a: a[1::2], lambda a: a[::-2], True),
    (lambda a: a[:4], lambda a: a[4:], False),
    (lambda a: a[:5], lambda a: a[4:], True),
    # empty and zero-dimensional views
    (lambda a: a, lambda a: a[0:0], False),
    (lambda a: a, lambda a: a[5:5], False),          # NumPy points it at a's start
    (lambda a: a, lambda a: a[5:][:0], True),        # +40, inside a
    (lambda a: a, lambda a: a[3, ...], True),        # +24, inside a
    (lambda a: a, lambda a: a[10:], False),          # at a's end
    (lambda a: a[3, ...], lambda a: a[3, ...], True),
    (lambda a: a[3, ...], lambda a: a[4, ...], False),
    # a zero-dimensional view is the one element it refers to
    (lambda a: a[3, ...], lambda a: a[3:], True),
    (lambda a: a[0, ...], lambda a: a, True),
    (lambda a: a[3:4], lambda a: a[3, ...], True),
    (lambda a: a[3, ...], lambda a: a.view(np.uint8)[24, ...], True),
    (lambda a: a[3, ...], lambda a: a[2::2], False),
    (lambda a: a[3, ...], lambda a: a[1::2], True),
    # a view through bytes: element size and stride divisor 1
    (lambda a: a[2:3], lambda a: a.view(np.uint8)[17:18], True),
    (lambda a: a.view(np.uint8)[::8], lambda a: a.view(np.uint8)[1::8], False),
    # views whose strides are all zero touch only their data address
    (lambda a: zero_strided(a, 0, 3), lambda a: zero_strided(a, 8, 3), False),
    (lambda a: zero_strided(a, 0, 3), lambda a: zero_strided(a, 0, 5), True),
    (lambda a: zero_strided(a, 8, 3), lambda a: a[:2], True),
    (lambda a: zero_strided(a, 8, 3), lambda a: a[0::2], False),
    # two dimensions
    (lambda a: a.reshape(2, 5)[:, 0], lambda a: a.reshape(2, 5)[:, 1], False),
    (lambda a: a.reshape(2, 5)[:, :2], lambda a: a.reshape(2, 5)[1, 1:], True),
])
def test_conflict_rule(registry, write, read, conflicts):
    a = np.arange(10.0)
    w, r = write(a), read(a)
    assert registry.acquire_write(w) == GRANTED
    try:
        assert registry.acquire_read(r) == (CONFLICT if conflicts else GRANTED)
        if not conflicts:
            registry.release_read(r)
    finally:
        registry.release_write(w)
    assert registry.is_free(a)


class Holder:
    """Memory exported through the array interface: arrays made from it have
    the holder, not an array, as their base."""

    def __init__(self, n):
        self.data = np.zeros(n)
        self.__array_interface__ = dict(self.data.__array_interface__)


def test_memory_owner_is_found_through_bases(registry):
    data = np.zeros(10)
    deep = data.reshape(2, 5)[1][::-1]          # base chain: deep -> ... -> data
    assert registry.acquire_write(deep) == GRANTED
    assert registry.acquire_read(data[5:6]) == CONFLICT
    assert registry.acquire_read(data[4:5]) == GRANTED
    registry.release_read(data[4:5])
    registry.release_write(deep)

    holder = Holder(10)
    a = np.asarray(holder)                      # owner: the holder
    b = np.asarray(holder)[2:4]                 # another array, same owner
    c = np.asarray(Holder(10))                  # another owner
    assert registry.acquire_write(a) == GRANTED
    assert registry.acquire_read(b) == CONFLICT
    # Different owners never conflict, not even over the same addresses.
    assert registry.acquire_read(holder.data) == GRANTED
    assert registry.acquire_read(c) == GRANTED
    for array in (c, holder.data):
        registry.release_read(array)
    registry.release_write(a)
    assert registry.is_free(b) and registry.is_free(data)


def test_owners_that_come_and_go_keep_only_their_own_borrows(registry):
    # Owners gain and lose their last borrow in an interleaved order, so the
    # registry's entries are emptied and taken up again by other owners.
    arrays = [np.zeros(4) for _ in range(24)]
    order = np.random.default_rng(3).permutation(len(arrays))
    held = {}
    for step, i in enumerate(order):
        kind = "write" if step % 3 == 0 else "read"
        assert getattr(registry, "acquire_" + kind)(arrays[i]) == GRANTED
        held[i] = kind
        if step % 2:
            j = next(iter(held))
            getattr(registry, "release_" + held.pop(j))(arrays[j])
        for k, array in enumerate(arrays):
            assert registry.is_free(array) == (k not in held), (step, k)
            if held.get(k) == "write":
                assert registry.acquire_read(array) == CONFLICT
    for k, kind in held.items():
        getattr(registry, "release_" + kind)(arrays[k])
    assert all(registry.is_free(array) for array in arrays)


def test_releasing_what_was_never_taken_changes_nothing(registry):
    a = np.zeros(6)
    registry.release_read(a)
    registry.release_write(a)
    assert registry.acquire_read(a) == GRANTED
    registry.release_write(a)  # wrong kind: the read borrow stays
    assert registry.acquire_write(a) == CONFLICT
    registry.release_read(a)
    registry.release_read(a)   # one more than taken
    assert registry.acquire_write(a) == GRANTED
    registry.release_read(a)   # wrong kind: the write borrow stays
    assert registry.acquire_read(a) == CONFLICT
    registry.release_write(a)
    assert registry.is_free(a)


PEER_PREAMBLE = """
    import numpy as np, numpy.core.multiarray as m, ondulix
    from registry_access import ATTRIBUTE, PeerRegistry
    def run(time):
        try:
            return ondulix.harmonic_oscillator(time, 1, 0, 1, 0, 0).tolist()
        except BaseException as e:
            return type(e).__name__ + ' | ' + str(e).splitlines()[0]
"""


def test_a_peers_registry_is_used_and_left_in_place(python):
    out = python(PEER_PREAMBLE + """
    peer = PeerRegistry(version=2)
    peer.publish()
    time = np.zeros(2)
    print(run(time))
    print([(kind, array is time) for kind, array in peer.calls])
    print(getattr(m, ATTRIBUTE) is peer.capsule)
    """)
    assert out.splitlines() == [
        "[1.0, 1.0]",
        "[('acquire_read', True), ('release_read', True)]",
        "True",
    ]


@pytest.mark.parametrize("setup,message", [
    ("setattr(m, ATTRIBUTE, 17)",
     "InternalFailure | Interal borrow checking API error: TypeError: "
     "'int' object cannot be converted to 'PyCapsule'"),
    ("peer = PeerRegistry(version=0); peer.publish()",
     "InternalFailure | Interal borrow checking API error: TypeError: "
     "version 0 of the shared borrow registry is not supported"),
    ("peer = PeerRegistry(acquire_result=-1); peer.publish()",
     "InternalFailure | forced an error result: the time array is already borrowed"),
    ("peer = PeerRegistry(acquire_result=7); peer.publish()",
     "InternalFailure | Unexpected return code 7 from borrow checking API"),
    ("peer = PeerRegistry(acquire_result=-2); peer.publish()",
     "InternalFailure | Unexpected return code -2 from borrow checking API"),
])
def test_an_unusable_registry_fails_every_call(python, setup, message):
    out = python(PEER_PREAMBLE + f"""
    {setup}
    before = getattr(m, ATTRIBUTE)
    print(run(np.zeros(2)))
    print(run(np.zeros(2)))
    print(getattr(m, ATTRIBUTE) is before)
    """)
    assert out.splitlines() == [message, message, "True"]


def test_registry_survives_removal_of_the_attribute(python):
    out = python(PEER_PREAMBLE + """
    from registry_access import Registry
    a = np.zeros(3)
    run(a)
    registry = Registry()
    assert registry.acquire_write(a) == 0
    delattr(m, ATTRIBUTE)
    del registry
    import gc; gc.collect()
    print(run(a))      # still the registry in which a is borrowed
    """)
    assert out.splitlines() == [
        "InternalFailure | forced an error result: the time array is already borrowed"]


def test_a_lookup_that_runs_python_code_keeps_the_registry_found_meanwhile(python):
    # The first lookup asks numpy.core.multiarray for the attribute, which can
    # run Python code; here that code makes a call of its own, which creates
    # and publishes the registry before the outer lookup resumes.
    out = python(PEER_PREAMBLE + """
    from registry_access import Registry
    nested = []
    def hook(name):
        if name == ATTRIBUTE and not nested:
            nested.append(run(np.zeros(2)))
            nested.append(getattr(m, ATTRIBUTE))
        raise AttributeError(name)
    m.__getattr__ = hook
    a = np.zeros(3)
    print(run(a), nested[0])
    print(getattr(m, ATTRIBUTE) is nested[1])
    print(Registry().is_free(a))
    """)
    assert out.splitlines() == ["[1.0, 1.0, 1.0] [1.0, 1.0]", "True", "True"]
