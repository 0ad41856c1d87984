"""farmrun against clusters started by hand: `dask scheduler` and `dask worker` as their own
processes on the loopback, some without farmrun on their path, and addresses where no
scheduler answers. Every run is a subprocess with a timeout, so a hang fails the test."""
import contextlib
import os
import pathlib
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from fixtures import files_in, in_process, sc

import farmrun
from farmrun import engine
from farmrun.errors import EngineError

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

PATHS = [str(pathlib.Path(sc.__file__).parent), str(pathlib.Path(farmrun.__file__).parents[1])]
WITH_FARMRUN = dict(os.environ, PYTHONPATH=os.pathsep.join(PATHS))
BARE = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def farmrun_cli(*args, cwd, timeout=60):
    return subprocess.run([sys.executable, "-m", "farmrun", *map(str, args)], env=WITH_FARMRUN,
                          cwd=cwd, capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def bare_cannot_import_farmrun(tmp_path_factory):
    r = subprocess.run([sys.executable, "-c", "import farmrun"], env=BARE,
                       cwd=tmp_path_factory.mktemp("bare"), capture_output=True)
    if r.returncode == 0:
        pytest.skip("farmrun is installed, so no worker can lack it")


@pytest.fixture
def cluster(tmp_path):
    """Starts a scheduler and workers, each in the environment given; stops them all."""
    procs = []

    def start(scheduler_env, *worker_envs):
        port, dashboard = free_port(), free_port()
        address = f"tcp://127.0.0.1:{port}"
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp_path)
        procs.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", str(port), "--dashboard-address", f"127.0.0.1:{dashboard}"],
            env=scheduler_env, **quiet))
        workers = [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
             "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"], env=env, **quiet)
            for env in worker_envs]
        procs.extend(workers)
        with distributed.Client(address, timeout=30, set_as_default=False) as c:
            if worker_envs:
                c.wait_for_workers(len(worker_envs), timeout=30)
        return address, f"tcp://127.0.0.1:{dashboard}", workers

    yield start
    for p in reversed(procs):  # the workers first: one that lost its scheduler lingers
        p.terminate()
    for p in reversed(procs):
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def assert_one_line(r, code, *parts):
    assert r.returncode == code, r.stderr
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("farmrun: error: "), r.stderr
    for part in parts:
        assert part in r.stderr


@pytest.mark.parametrize("bare", ["worker", "scheduler"])
def test_cluster_without_farmrun_stops_in_one_line(cluster, bare_cannot_import_farmrun,
                                                   tmp_path, bare):
    # A worker that cannot unpickle a task leaves the cluster, and the tasks
    # then wait for a worker forever; a scheduler that cannot fails the graph.
    address, _, _ = cluster(*((WITH_FARMRUN, BARE) if bare == "worker"
                              else (BARE, WITH_FARMRUN)))
    out = tmp_path / "results.json"
    r = farmrun_cli("run", "--engine", "dask", "--scheduler", address, "--json", out,
                    cwd=tmp_path)
    what = "1 of 1 Dask workers of" if bare == "worker" else "the Dask scheduler at"
    assert_one_line(r, 1, f"{what} ", address, "cannot import farmrun.runner",
                    f"PYTHONPATH={os.pathsep.join(PATHS)}")
    assert not out.exists()


@pytest.fixture
def silent_listener():
    """A port that accepts connections and never says a word."""
    server = socket.create_server(("127.0.0.1", 0))
    held, stop = [], threading.Event()

    def accept():
        server.settimeout(0.2)
        while not stop.is_set():
            with contextlib.suppress(OSError):
                held.append(server.accept()[0])

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield f"tcp://127.0.0.1:{server.getsockname()[1]}"
    stop.set()
    thread.join()
    for s in held + [server]:
        s.close()


@pytest.mark.parametrize("where", ["dashboard", "silent"])
def test_no_scheduler_answering_is_one_line(cluster, silent_listener, tmp_path, where):
    address = cluster(WITH_FARMRUN)[1] if where == "dashboard" else silent_listener
    r = farmrun_cli("run", "--engine", "dask", "--scheduler", address, cwd=tmp_path)
    assert_one_line(r, 1, f"no Dask scheduler answered at {address} within "
                          f"{engine.CONNECT_TIMEOUT_S} s", "dashboard")
    assert files_in(tmp_path) == []


def test_a_worker_address_is_not_a_scheduler(cluster, capsys):
    address, _, _ = cluster(WITH_FARMRUN, WITH_FARMRUN)
    with distributed.Client(address, set_as_default=False) as c:
        worker, = c.scheduler_info()["workers"]
    assert in_process("run", "--engine", "dask", "--scheduler", worker) == 1
    assert capsys.readouterr().err == (
        f"farmrun: error: {worker} is a Dask Worker, not the scheduler; give the address the "
        "scheduler prints as 'Scheduler at: tcp://...'\n")


@pytest.mark.parametrize("address, reason", [
    ("nonsense", "missing port number in address 'nonsense'"),
    ("http://127.0.0.1:8787", "unknown protocol http:// (a web address, such as the "
                              "dashboard's)"),
])
def test_malformed_address_is_exit_2(capsys, address, reason):
    assert in_process("run", "--engine", "dask", "--scheduler", address) == 2
    assert capsys.readouterr().err == (
        f"farmrun: error: --scheduler: expected a scheduler address such as tcp://head:8786, "
        f"got {address!r} ({reason})\n")


def test_no_worker_joining_ends_the_run(cluster, monkeypatch):
    address, _, _ = cluster(WITH_FARMRUN)
    monkeypatch.setattr(engine, "WORKER_WAIT_S", 1)
    with distributed.Client(address, set_as_default=False) as c, \
            pytest.raises(EngineError, match=f"^no Dask worker joined the scheduler at "
                                             f"{address} within 1 s; start some with: "
                                             f"dask worker {address}$"):
        farmrun.run(farmrun.example_farm(), progress=False, client=c)


def slow_solves():
    import time as t

    import farmrun.runner as m
    original = m.solve_batch

    def solve(*args):
        t.sleep(0.5)
        return original(*args)
    m.solve_batch = solve


def test_every_worker_leaving_mid_run_ends_it(cluster, monkeypatch):
    address, _, (worker,) = cluster(WITH_FARMRUN, WITH_FARMRUN)
    monkeypatch.setattr(engine, "WORKER_WAIT_S", 1)
    # The slow-down travels by value: the worker cannot import this file.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    outcome = {}

    def job(c):
        try:
            farmrun.run(farmrun.example_farm(), progress=False, client=c)
        except EngineError as e:
            outcome["error"] = str(e)

    with distributed.Client(address, set_as_default=False) as c:
        c.run(slow_solves)
        thread = threading.Thread(target=job, args=(c,), daemon=True)
        thread.start()
        deadline = time.monotonic() + 20
        while not any(c.processing().values()):
            assert time.monotonic() < deadline
            time.sleep(0.02)
        os.kill(worker.pid, signal.SIGKILL)
        thread.join(timeout=30)
        assert not thread.is_alive()
    assert outcome["error"].startswith(f"every worker of the Dask scheduler at {address} has "
                                       "left and none came back within 1 s; a worker that "
                                       "cannot import farmrun leaves at its first task")
