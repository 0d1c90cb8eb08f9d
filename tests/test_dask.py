"""Chunked evaluation on a local cluster of worker processes, and the helper
that maps a waveform over a dask array."""
import os

import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster, wait

import ondulix
import ondulix_dask
import waveform_reference as ref

CALLS = [
    (ondulix.harmonic_oscillator, (1.0, -0.004, 2.0, 0.25, 0.5)),
    (ondulix.pseudo_square_wave, (2.0, 0.001, 1.5, -1.0, 0.0)),
    (ondulix.fourier_square_wave, (0.5, -0.002, 1.0, 0.0, 0.0, 6)),
    (ondulix.pseudo_cycloid_wave, (0.5, 0.0, 0.75, 0.1, -2.0)),
    (ondulix.transient_impulse, (1.0, 6.0, 0.4, 0.0)),
]
IDS = [function.__name__ for function, _ in CALLS]

# About 16 MB of samples in unequal chunks, the last one short.
SIZE, CHUNK = 2_000_003, 131_072


# Without a cluster: checks made before anything is computed, and keywords.
T = da.linspace(0.0, 1.0, 10, chunks=4)


@pytest.mark.parametrize("function,time,args,kwargs,error,message", [
    (ondulix.harmonic_oscillator, T.astype(np.float32), (1, 0, 1, 0, 0), {}, TypeError,
     "time must have the native float64 element type, not float32"),
    (ondulix.harmonic_oscillator, T.astype(">f8"), (1, 0, 1, 0, 0), {}, TypeError,
     "not >f8"),
    (ondulix.harmonic_oscillator, T.reshape(2, 5), (1, 0, 1, 0, 0), {}, TypeError,
     "time must have one dimension, not 2"),
    (np.sin, T, (), {}, TypeError, "is not one of ondulix's functions"),
    # The function's own checks, before anything is computed.
    (ondulix.transient_impulse, T, (1.0, 6.0, 0.4), {}, TypeError,
     "transient_impulse() missing 1 required positional argument: 'equilibrium'"),
    (ondulix.fourier_square_wave, T, (1, 0, 1, 0, 0), {"num_harmonics": 2.0}, TypeError,
     "argument 'num_harmonics': "),
    (ondulix.fourier_square_wave, T, (1, 0, 1, 0, 0, -1), {}, OverflowError,
     "can't convert negative int to unsigned"),
])
def test_map_waveform_refuses_bad_arguments_at_once(function, time, args, kwargs, error,
                                                    message):
    with pytest.raises(error) as info:
        ondulix_dask.map_waveform(function, time, *args, **kwargs)
    assert message in str(info.value)


def test_map_waveform_passes_keywords_and_accepts_numpy_input():
    t = np.linspace(-5.0, 5.0, 101)
    waves = ondulix_dask.map_waveform(ondulix.fourier_square_wave, da.from_array(t, chunks=17),
                                      1.0, -0.1, omega=2.0, phi=0.5, y=0.0, num_harmonics=5)
    expected = ondulix.fourier_square_wave(t, 1.0, -0.1, 2.0, 0.5, 0.0, 5)
    assert ref.same_bits(waves.compute(scheduler="sync"), expected)
    assert ref.same_bits(
        ondulix_dask.map_waveform(ondulix.transient_impulse, t, 1.0, 6.0, 0.4, 0.0).compute(),
        ondulix.transient_impulse(t, 1.0, 6.0, 0.4, 0.0))


# On a cluster of two worker processes.
@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        pids = set(client.run(os.getpid).values())
        assert len(pids) == 2 and os.getpid() not in pids
        yield client


@pytest.fixture(scope="module")
def time():
    # Made by the workers, so the samples never pass through this process
    # before the comparison.
    return da.linspace(-300.0, 9700.0, SIZE, chunks=CHUNK)


@pytest.mark.parametrize("function,args", CALLS, ids=IDS)
def test_map_blocks_on_two_worker_processes_matches_one_call(client, time, function, args):
    waves = da.map_blocks(function, time, *args, dtype=np.float64)
    waves = client.persist(waves)
    wait(waves)
    # Both workers computed blocks.
    holders = {worker for workers in client.who_has(waves).values() for worker in workers}
    assert len(holders) == 2

    distributed = waves.compute()
    single = function(time.compute(), *args)
    assert distributed.dtype == np.float64 and distributed.shape == (SIZE,)
    assert ref.same_bits(distributed, single)


@pytest.mark.parametrize("function,args", CALLS, ids=IDS)
def test_map_waveform_reads_strided_blocks(client, time, function, args):
    # Reversing makes every block a view with a negative stride, which the
    # functions themselves refuse; the helper hands them contiguous copies.
    strided = time[::-1]
    waves = ondulix_dask.map_waveform(function, strided, *args)
    assert waves.dtype == np.float64 and waves.chunks == strided.chunks
    single = function(np.ascontiguousarray(time.compute()[::-1]), *args)
    # A block the function refused would raise a BaseException on a worker,
    # which the client may wait for forever.
    assert ref.same_bits(client.compute(waves).result(timeout=120), single)
