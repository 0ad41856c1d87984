"""The Dask engine on a real cluster: a scheduler and two worker processes on the loopback.

The workers inherit this interpreter's module path, so they import the same
farmrun and sorbane_cpp as the tests do. Faults are injected into the
workers by replacing ``farmrun.runner.solve_batch`` there.
"""
import json
import logging
import os
import pickle
import signal
import sys
import threading
import time

import pytest
import torch

from fixtures import cli, in_process, sc, steering_farm  # noqa: F401  (the module under test, before farmrun)

import farmrun
from farmrun import engine
from farmrun.errors import EngineError, FarmError

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")


@pytest.fixture(scope="module")
def client():
    # The workers cannot import this file: its fault injectors travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.CRITICAL,
                                  scheduler_kwargs=engine.NO_DASHBOARD) as cluster, \
            distributed.Client(cluster, set_as_default=False) as c:
        yield c


def on_workers(c, fault, *args):
    """Replaces solve_batch on every worker by ``fault(original, *args)``; undone on exit."""

    def install():
        import farmrun.runner as m
        m.solve_batch = fault(m.solve_batch, *args)
        m.solve_batch.original = m.solve_batch.__wrapped__

    def remove():
        import farmrun.runner as m
        m.solve_batch = getattr(m.solve_batch, "original", m.solve_batch)

    class Patched:
        def __enter__(self):
            c.run(install)

        def __exit__(self, *exc):
            c.run(remove)

    return Patched()


def failing_at(original, direction, kind):
    def solve(v, idx, *rest):
        if float(v.cases.wd[0]) == direction:
            if kind == "farm":
                raise FarmError("cases.wind_directions", f"no solve at {direction:g} deg")
            raise ZeroDivisionError("injected")
        return original(v, idx, *rest)
    solve.__wrapped__ = original
    return solve


def slowed(original, seconds):
    def solve(*args):
        time.sleep(seconds)
        return original(*args)
    solve.__wrapped__ = original
    return solve


FIELDS = ("rotor_velocity", "rotor_velocity_no_wake", "turbulence_intensity",
          "thrust_coefficient", "power", "farm_power", "wake_loss", "sweep_limits",
          "longest_chains", "n_batches")


def assert_identical(a, b):
    for name in FIELDS:
        x, y = getattr(a, name), getattr(b, name)
        assert torch.equal(x, y) if isinstance(x, torch.Tensor) else x == y, name


@pytest.mark.float64
@pytest.mark.parametrize("solver, batch", [("sequential", 25), ("jacobi", 7)])
def test_same_results_as_local(client, solver, batch):
    # Batches of 7 mix the directions' 25 cases unevenly: results must land
    # in case order whichever task finishes first.
    farm = farmrun.example_farm()
    local = farmrun.run(farm, solver=solver, batch_size=batch, progress=False)
    remote = farmrun.run(farm, solver=solver, batch_size=batch, progress=False, client=client)
    assert remote.n_batches == -(-300 // batch)
    assert_identical(remote, local)


def test_command_line_with_its_own_workers(tmp_path):
    # farmrun starts and closes the cluster; --scheduler is run by the error tests.
    out = tmp_path / "results.json"
    r = cli("run", "--engine", "dask", "--workers", 1, "--json", out)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""  # neither logs nor warnings from the cluster
    local = farmrun.run(farmrun.example_farm(), progress=False)
    doc = json.loads(out.read_text())
    assert doc["cases"]["turbine_power_w"] == local.power.double().tolist()
    assert doc["engine"] == "dask" and ", engine dask (1 worker at tcp://127.0.0.1:" in r.stdout


def test_farm_error_in_a_task_ends_the_run_and_writes_nothing(client, tmp_path):
    out = tmp_path / "results.json"
    with on_workers(client, failing_at, 240.0, "farm"):
        r = cli("run", "--engine", "dask", "--scheduler", client.cluster.scheduler_address,
                "--json", out, "--batch", 25)
    assert r.returncode == 2
    assert r.stderr == "farmrun: error: cases.wind_directions: no solve at 240 deg\n"
    assert not out.exists() and list(tmp_path.iterdir()) == []


def test_other_error_in_a_task_names_the_batch_and_cancels_the_rest(client):
    # In batches of 25, one direction each: direction 90 is the fourth of the example's twelve.
    with on_workers(client, failing_at, 90.0, "other"):
        with pytest.raises(EngineError, match=r"^batch 3 failed on the cluster: "
                                              r"ZeroDivisionError: injected$") as failure:
            farmrun.run(farmrun.example_farm(), progress=False, client=client, batch_size=25)
    # Nothing of the run stays on the cluster, though the error's traceback
    # still holds the run's futures.
    assert failure.value.__traceback__ is not None
    deadline = time.monotonic() + 5
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        assert time.monotonic() < deadline
        time.sleep(0.05)


def test_farm_error_survives_the_trip_back():
    e = pickle.loads(pickle.dumps(FarmError("model.alpha", "must be above 0, got 0")))
    assert (type(e), e.field, str(e)) == (FarmError, "model.alpha",
                                          "model.alpha: must be above 0, got 0")


@pytest.mark.parametrize("kwargs, field", [
    (dict(engine="spark"), "engine"),
    (dict(engine="local", client="a client"), "client"),
])
def test_engine_choice_is_checked(kwargs, field):
    with pytest.raises(FarmError) as e:
        engine.map_batches(max, 0, [1], **kwargs)
    assert e.value.field == field


@pytest.mark.parametrize("args, message", [
    (["--scheduler", "tcp://127.0.0.1:8786"], "farmrun: error: --scheduler: needs --engine dask"),
    (["--workers", "2"], "farmrun: error: --workers: needs --engine dask"),
    (["--engine", "dask", "--scheduler", "tcp://127.0.0.1:8786", "--workers", "2"],
     "farmrun: error: --workers: give either --scheduler (an existing cluster) or --workers "
     "(a local one), not both"),
])
def test_engine_options_are_checked(capsys, args, message):
    assert in_process("run", *args) == 2
    assert capsys.readouterr().err == message + "\n"


def test_refused_connection_is_one_line_at_once(capsys, monkeypatch, tmp_path):
    # A refusal is final: the run must not sit out the connect timeout.
    monkeypatch.setattr(engine, "CONNECT_TIMEOUT_S", 60)
    out = tmp_path / "results.json"
    start = time.monotonic()
    assert in_process("run", "--engine", "dask", "--scheduler", "tcp://127.0.0.1:9",
                      "--json", out) == 1
    assert time.monotonic() - start < 30
    assert capsys.readouterr().err == ("farmrun: error: no Dask scheduler at tcp://127.0.0.1:9: "
                                       "Connection refused\n")
    assert not out.exists()


def test_worker_killed_mid_run_still_gives_every_result(client):
    farm = farmrun.example_farm()
    local = farmrun.run(farm, batch_size=13, progress=False)  # 24 batches
    done = {}
    with on_workers(client, slowed, 0.1):
        job = threading.Thread(target=lambda: done.update(
            result=farmrun.run(farm, batch_size=13, progress=False, client=client)))
        job.start()
        # Wait until a worker is busy with the run, then end its process.
        deadline = time.monotonic() + 20
        while not (busy := [w for w, keys in client.processing().items() if keys]):
            assert time.monotonic() < deadline
            time.sleep(0.02)
        pids = client.run(os.getpid)
        time.sleep(0.15)
        assert job.is_alive()
        os.kill(pids[busy[0]], signal.SIGKILL)
        job.join(timeout=60)
    assert not job.is_alive()
    assert_identical(done["result"], local)
    assert busy[0] not in client.run(os.getpid)
    client.wait_for_workers(2, timeout=30)  # the nanny's replacement, before the next test


YAW_FIELDS = ("yaw_angles", "farm_power_baseline", "farm_power_optimized")


@pytest.mark.float64
def test_optimize_yaw_gives_the_local_tables(client, tmp_path):
    from farmrun.optimize.yaw import optimize_yaw
    D = farmrun.iea_3p4_130().rotor_diameter
    farm = steering_farm([0.0, 6 * D, 12 * D], [0.0, 0.2 * D, 0.0], [270.0, 270.0, 90.0],
                     [8.0, 10.0, 9.0])
    local = optimize_yaw(farm, progress=False)
    remote = optimize_yaw(farm, progress=False, client=client)
    assert remote.n_batches == local.n_batches == 2
    assert remote.evaluations == local.evaluations
    for name in YAW_FIELDS:
        assert torch.equal(getattr(remote, name), getattr(local, name)), name
    # The command line reaches the same cluster and writes the same table.
    from farmrun.io.farm_file import farm_to_dict
    farm_file, out = tmp_path / "row.json", tmp_path / "yaw.json"
    farm_file.write_text(json.dumps(farm_to_dict(farm)))
    r = cli("optimize-yaw", farm_file, "--engine", "dask", "--scheduler",
            client.cluster.scheduler_address, "--json", out)
    assert r.returncode == 0, r.stderr
    assert json.loads(out.read_text())["yaw_angles"] == local.yaw_angles.tolist()
