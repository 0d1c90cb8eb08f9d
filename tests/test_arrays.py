"""The time argument, the view of its data and the result array."""
import mmap

import numpy as np
import pytest

import ondulix
import waveform_reference as ref

ARGS = (1.0, -0.25, 2.0, 0.5, 0.0)


def oscillate(time):
    return ondulix.harmonic_oscillator(time, *ARGS)


def expected(time):
    return ref.evaluate(ref.harmonic_oscillator, time, *ARGS)


class Outer:
    class Inner:
        pass


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Anonymous(metaclass=NoQualname):
    pass


@pytest.mark.parametrize("time,type_name", [
    ([1.0, 2.0], "list"),
    ((1.0,), "tuple"),
    (1.0, "float"),
    (1, "int"),
    (None, "NoneType"),
    (np.float64(1.0), "float64"),
    (memoryview(b"12345678"), "memoryview"),
    (Outer.Inner(), "Outer.Inner"),
    (Anonymous(), "<failed to extract type name>"),
])
def test_objects_that_are_not_arrays_are_refused(time, type_name):
    with pytest.raises(TypeError) as info:
        oscillate(time)
    assert str(info.value) == (
        f"argument 'time': '{type_name}' object cannot be converted to 'numpy.ndarray'")


@pytest.mark.parametrize("time,message", [
    (np.array(1.0), "dimensionality mismatch:\n from=0, to=1"),
    (np.zeros((2, 3)), "dimensionality mismatch:\n from=2, to=1"),
    (np.zeros((2, 3), np.float32), "dimensionality mismatch:\n from=2, to=1"),
    (np.zeros((1, 1, 1)), "dimensionality mismatch:\n from=3, to=1"),
    (np.zeros(3, np.float32), "type mismatch:\n from=float32, to=float64"),
    (np.zeros(3, np.int64), "type mismatch:\n from=int64, to=float64"),
    (np.zeros(3, object), "type mismatch:\n from=object, to=float64"),
    (np.zeros(3, ">f8" if np.little_endian else "<f8"),
     "type mismatch:\n from=%s, to=float64" % (">f8" if np.little_endian else "<f8")),
])
def test_wrong_shapes_and_element_types_are_refused(time, message):
    with pytest.raises(TypeError) as info:
        oscillate(time)
    assert str(info.value) == "argument 'time': " + message


class Sub(np.ndarray):
    pass


def unaligned(values):
    raw = np.zeros(len(values) * 8 + 1, np.uint8)
    view = raw[1:].view(np.float64)
    view[:] = values
    assert not view.flags.aligned
    return view


def readonly(values):
    array = np.array(values)
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("make", [
    lambda v: np.array(v),
    lambda v: np.array(v).view(Sub),
    readonly,
    unaligned,
    lambda v: np.array(v)[::-1][::-1],
    lambda v: np.frombuffer(np.array(v).tobytes()),
    lambda v: np.array(v, dtype=np.dtype("float64", metadata={"unit": "s"})),
], ids=["plain", "subclass", "readonly", "unaligned", "double-reversed", "frombuffer", "metadata"])
def test_accepted_arrays_give_a_plain_new_result(make):
    values = [0.0, -1.5, 2.25, 1e-300, 7.0]
    time = make(values)
    before = time.copy()
    result = oscillate(time)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64 and result.dtype.isnative and result.shape == (5,)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert not np.shares_memory(result, time)
    assert ref.same_bits(result, expected(values))
    assert ref.same_bits(time, before)


def test_memory_mapped_array_is_accepted(tmp_path):
    path = tmp_path / "times.f8"
    np.arange(16, dtype=np.float64).tofile(path)
    time = np.memmap(path, dtype=np.float64, mode="r")
    assert ref.same_bits(oscillate(time), expected(np.arange(16.0)))


def test_result_and_time_are_independent():
    time = np.linspace(0.0, 1.0, 5)
    result = oscillate(time)
    first = result.copy()
    time[:] = 99.0
    assert ref.same_bits(result, first)
    result[:] = -1.0
    assert np.all(time == 99.0)


def test_result_buffer_reused_across_sizes_leaves_no_trace():
    # Each call computes into a block that earlier calls may have used and
    # left larger; only this call's samples may reach the result.
    rng = np.random.default_rng(5)
    for n in (1000, 3, 0, 5000, 7, 1, 64):
        time = rng.uniform(-10.0, 10.0, n)
        assert ref.same_bits(oscillate(time), expected(time)), n


def test_results_beyond_the_retained_buffer_size_match_smaller_calls():
    # 40 MiB of samples: more than the buffer kept between calls.
    time = np.linspace(-50.0, 50.0, 5 << 20)
    whole = oscillate(time)
    pieces = np.concatenate([oscillate(part) for part in np.array_split(time, 8)])
    assert ref.same_bits(whole, pieces)
    assert ref.same_bits(oscillate(time[:1000]), expected(time[:1000]))


@pytest.mark.parametrize("time", [np.empty(0), np.zeros(5)[2:2], np.zeros(6)[::3][:0]])
def test_empty_time_array_gives_empty_result(time):
    result = oscillate(time)
    assert result.shape == (0,) and result.dtype == np.float64 and type(result) is np.ndarray


def test_strided_views_with_at_most_one_element_are_contiguous():
    time = np.arange(10.0)[3::4][:1]
    assert ref.same_bits(oscillate(time), expected([3.0]))


@pytest.mark.parametrize("slicer", [lambda a: a[::2], lambda a: a[::-1], lambda a: a[1::3]])
def test_non_contiguous_arrays_end_in_internal_failure(slicer, internal_failure_class, registry):
    base = np.arange(12.0)
    time = slicer(base)
    with pytest.raises(BaseException) as info:
        oscillate(time)
    assert type(info.value) is internal_failure_class
    assert str(info.value) == "forced an error result: the time array is not contiguous"
    assert registry.is_free(time) and registry.is_free(base)


def test_failed_numpy_import_is_an_internal_failure_and_is_retried(python):
    out = python("""
        import sys
        import ondulix
        sys.modules['numpy'] = None          # makes every numpy import fail
        try:
            ondulix.harmonic_oscillator([1.0], 1, 0, 1, 0, 0)
        except BaseException as e:
            print(type(e).__name__, '|', e)
        del sys.modules['numpy']
        import numpy as np
        print(ondulix.harmonic_oscillator(np.zeros(2), 1, 0, 1, 0, 0).tolist())
    """)
    assert out.splitlines() == ["InternalFailure | Failed to import NumPy module", "[1.0, 1.0]"]


def test_result_buffer_that_cannot_be_allocated_raises_memory_error(python, tmp_path):
    # A sparse file far larger than the machine's memory: mapping it costs
    # nothing, but a buffer of the same size cannot be had.
    path = tmp_path / "sparse.f8"
    size = 1 << 41
    with open(path, "wb") as f:
        f.truncate(size)
    out = python(f"""
        import numpy as np, ondulix
        from registry_access import Registry
        time = np.memmap({str(path)!r}, dtype=np.float64, mode="r+")
        try:
            ondulix.harmonic_oscillator(time, 1, 0, 1, 0, 0)
        except MemoryError as e:
            print("MemoryError |", e)
        print("free:", Registry().is_free(time))
        print(ondulix.harmonic_oscillator(np.zeros(1), 2, 0, 1, 0, 0).tolist())
    """, timeout=60)
    assert out.splitlines() == [
        f"MemoryError | memory allocation of {size} bytes failed",
        "free: True",
        "[2.0]",
    ]
