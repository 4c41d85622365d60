"""Scans into Zarr stores: interrupted, killed or failing scans resume to the same bits.

A scan of benzene maps (2 orbitals x 2 photon energies x 15 angles, n = 31, in
chunks of 2 maps) is run once without interruption; every other run must end
with a store whose chunk files are byte for byte those of that reference.  The
subprocesses slow each task down by a few milliseconds (a patch applied by the
test, not by the package) so that signals land midway.
"""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import libkernels
from libkernels import JobError, ScanError, StoreError
from libkernels.scans import store_scan as scan_module
from libkernels.scans import zarr_store

from conftest import requires

pytest.importorskip("zarr", minversion="3")
xarray = pytest.importorskip("xarray")

JOB = {"molecules": ["benzene"], "orbitals": ["HOMO", "HOMO-1"],
        "photon_energy": [30.0, 40.0], "work_function": 4.5,
        "alpha": {"start": 0, "stop": 180, "step": 12}, "beta": 20.0,
        "n": 31, "k_max": 2.5, "symmetry": 2, "polarisation": "p", "chunk_maps": 2}
N_CHUNKS = 32
PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(libkernels.__file__)))

SLOW_CLI = """
import sys, time
import libkernels.scans.tasks as tasks
compute = tasks.compute_block
tasks.compute_block = lambda plan, index: (time.sleep(0.03), compute(plan, index))[1]
from libkernels.cli import main
sys.exit(main(sys.argv[1:]))
"""


def _toml(job):
    lines = []
    for key, value in job.items():
        if isinstance(value, dict):
            value = "{ " + ", ".join(f"{k} = {json.dumps(v)}" for k, v in value.items()) + " }"
        else:
            value = json.dumps(value)
        lines.append(f"{key} = {value}")
    return "\n".join(lines) + "\n"


def _environment():
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        [PACKAGE_DIR] + [p for p in environment.get("PYTHONPATH", "").split(os.pathsep) if p])
    return environment


def _cli(*args, slow=False):
    command = [sys.executable, "-c", SLOW_CLI] if slow else [sys.executable, "-m", "libkernels"]
    return subprocess.Popen(command + [str(a) for a in args], env=_environment(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def _chunk_files(store):
    root = os.path.join(store, "intensity")
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as handle:
                files[os.path.relpath(os.path.join(folder, name), root)] = handle.read()
    return files


def _chunks_written(store):
    return sum(len(names) for _, _, names in os.walk(os.path.join(store, "intensity", "c")))


def _wait_for_chunks(store, count, process, limit=60.0):
    end = time.monotonic() + limit
    while _chunks_written(store) < count:
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < end, "the scan wrote no chunks"
        time.sleep(0.01)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    requires("momentum_map_sum")
    store = str(tmp_path_factory.mktemp("reference") / "reference.zarr")
    libkernels.scan(JOB, store, threads=2, progress=False)
    return store


@pytest.fixture
def job_file(tmp_path):
    path = tmp_path / "scan.toml"
    path.write_text(_toml(JOB))
    return path


def assert_same_store(store, reference):
    assert _chunk_files(store) == _chunk_files(reference)
    got, expected = libkernels.open_scan(store), libkernels.open_scan(reference)
    assert got.attrs["complete"] and expected.attrs["complete"]
    assert np.array_equal(got.values.view(np.uint32), expected.values.view(np.uint32))
    assert zarr_store.Writer(store).completed().all()


def test_store_is_one_labelled_array(reference):
    maps = libkernels.open_scan(reference)
    assert maps.dims == ("orbital", "energy", "alpha", "kx", "ky")
    assert maps.shape == (2, 2, 15, 31, 31) and not np.isnan(maps.values).any()
    assert maps.alpha.attrs["units"] == "degree" and maps.kx.attrs["units"] == "1/angstrom"
    assert maps.energy.attrs["long_name"] == "photon energy" and float(maps.beta) == 20.0
    assert maps.kinetic_energy.dims == ("orbital", "energy")
    assert json.loads(maps.attrs["scan_job"])["n"] == 31 and "libkernels_version" in maps.attrs
    # a chunk holds what a direct call gives, bit for bit
    mol = libkernels.load_example("benzene")
    direct = libkernels.momentum_map_sum(mol, ["HOMO-1"], photon_energy=40.0, work_function=4.5,
                                         n=31, k_max=2.5, symmetry=2, polarisation="p",
                                         orientation=(72.0, 20.0, 0.0))
    assert np.array_equal(maps.sel(orbital="HOMO-1", energy=40.0, alpha=72.0).values,
                          direct.data)


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL])
def test_stopped_scan_resumes_to_the_same_bits(reference, job_file, tmp_path, stop):
    store = str(tmp_path / "stopped.zarr")
    process = _cli("scan", job_file, "-o", store, "--threads", "1", slow=True)
    _wait_for_chunks(store, 6, process)
    if stop == signal.SIGKILL:
        os.killpg(process.pid, signal.SIGKILL)  # the whole process group, nothing cleaned up
    else:
        process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    if stop == signal.SIGINT:
        assert process.returncode == 130 and "run the same scan again" in err, err
        saved = int(zarr_store.Writer(store).completed().sum())
        assert 0 < saved < N_CHUNKS
    assert not libkernels.open_scan(store).attrs["complete"]
    resumed = _cli("scan", job_file, "-o", store, "--quiet")
    out, err = resumed.communicate(timeout=120)
    assert resumed.returncode == 0, err
    assert_same_store(store, reference)


def test_write_errors_are_reported_once_and_leave_a_resumable_store(reference, tmp_path,
                                                                    monkeypatch):
    blocker = tmp_path / "a_file"
    blocker.write_text("")
    with pytest.raises(StoreError, match="cannot create the store"):
        libkernels.scan(JOB, str(blocker / "x.zarr"), progress=False)

    store = str(tmp_path / "full.zarr")
    write = zarr_store.Writer.write
    calls = []

    def fail_after_five(self, region, block):
        calls.append(region)
        if len(calls) > 5:
            raise OSError(28, "No space left on device", "chunk")
        write(self, region, block)

    monkeypatch.setattr(zarr_store.Writer, "write", fail_after_five)
    with pytest.raises(ScanError, match="No space left on device.*run the same"):
        libkernels.scan(JOB, store, threads=2, progress=False)
    assert 0 < zarr_store.Writer(store).completed().sum() <= 5
    monkeypatch.setattr(zarr_store.Writer, "write", write)
    outcome = scan_module.run_scan(JOB, store, threads=2, progress=False)
    assert outcome.tasks_run <= N_CHUNKS - 1
    assert_same_store(store, reference)


def test_descriptions_are_checked_and_a_store_refuses_another(reference, tmp_path):
    refusals = [
        ({"surprise": 1}, "unknown key"),
        ({"molecules": []}, "molecules"),
        ({"molecules": ["no_such.molden"]}, "no such file"),
        ({"kinetic_energy": 20.0}, "not both"),
        ({"photon_energy": [30.0], "work_function": None}, "work_function"),
        ({"alpha": {"start": 10, "stop": 0, "step": 5}}, "stop"),
        ({"alpha": {"start": 0, "stop": 10}}, "alpha takes"),
        ({"n": 1}, "n must be"),
        ({"k_max": -1}, "k_max"),
        ({"symmetry": 5}, "symmetry"),
        ({"polarisation": "elliptic"}, "polarisation"),
        ({"orbitals": ["HOMO", "homo"]}, "twice"),
    ]
    for change, message in refusals:
        with pytest.raises(JobError, match=message):
            scan_module.prepare({**JOB, **change}, str(tmp_path / "never.zarr"))
    with pytest.raises(JobError, match="HOMO-40"):
        scan_module.prepare({**JOB, "orbitals": ["HOMO-40"]}, str(tmp_path / "never.zarr"))
    with pytest.raises(JobError, match="kinetic energy <= 0"):
        scan_module.prepare({**JOB, "photon_energy": [5.0]}, str(tmp_path / "never.zarr"))
    assert not (tmp_path / "never.zarr").exists()

    with pytest.raises(JobError, match="differs in alpha, n"):
        scan_module.prepare({**JOB, "n": 41, "alpha": 0.0}, reference)
    other = tmp_path / "other"
    (other / "data").mkdir(parents=True)
    with pytest.raises(StoreError, match="not a libkernels scan store"):
        scan_module.prepare(JOB, str(other))


def test_local_cluster_end_to_end(reference, job_file, tmp_path):
    pytest.importorskip("distributed")
    store = str(tmp_path / "cluster.zarr")
    process = _cli("scan", job_file, "-o", store, "--workers", "2")
    out, err = process.communicate(timeout=180)
    assert process.returncode == 0, err
    assert "Dask: 2 workers" in err and f"{N_CHUNKS}/{N_CHUNKS} tasks" in err
    assert "maps/s" in out
    assert_same_store(store, reference)


def _slow_tasks():
    import time as clock

    import libkernels.scans.tasks as tasks

    compute = tasks.compute_block
    tasks.compute_block = lambda plan, index: (clock.sleep(0.05), compute(plan, index))[1]


def test_a_killed_worker_does_not_change_the_result(reference, tmp_path):
    distributed = pytest.importorskip("distributed")
    store = str(tmp_path / "killed.zarr")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        executor = client.get_executor()
        # the in-memory scan runs on the same executor and agrees with the thread pool
        mol = libkernels.load_example("benzene")
        angles = [(a, 10.0, 0.0) for a in range(0, 90, 10)]
        on_cluster, _ = libkernels.scan_momentum_maps(mol, ["HOMO", "HOMO-1"], angles, n=31,
                                                      kinetic_energy=25.0, executor=executor,
                                                      progress=False)
        local, _ = libkernels.scan_momentum_maps(mol, ["HOMO", "HOMO-1"], angles, n=31,
                                                 kinetic_energy=25.0, progress=False)
        assert np.array_equal(on_cluster, local)

        client.run(_slow_tasks)
        pids = list(client.run(os.getpid).values())
        errors = []

        def scan_in_background():
            try:
                scan_module.run_scan(JOB, store, executor=executor, progress=False)
            except BaseException as error:  # reported by the assertion below
                errors.append(error)

        worker = threading.Thread(target=scan_in_background)
        worker.start()
        end = time.monotonic() + 60
        while _chunks_written(store) < 4 and time.monotonic() < end:
            time.sleep(0.01)
        assert _chunks_written(store) < N_CHUNKS
        os.kill(pids[0], signal.SIGKILL)
        worker.join(timeout=120)
        assert not worker.is_alive() and not errors, errors
    assert_same_store(store, reference)
