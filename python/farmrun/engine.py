"""Where the batches of a job are solved: here, one after another, or on a Dask cluster.

A job splits its flow cases into batches and hands ``map_batches`` a
module-level function ``fn(shared, batch)``, the values every batch reads
(``shared``) and the batches. The local engine calls ``fn`` in a loop. The
Dask engine makes each batch one task on a ``dask.distributed`` cluster:
``shared`` is sent once, as a task of its own, so each worker fetches it once
and the scheduler can recompute it should the workers holding it be lost;
``fn`` travels by reference, so each worker imports its module once. Results
come back in the order of the batches, whatever order the tasks finish in,
and are the same values a local run gives: the tasks run the same code on
the same inputs.

A task that raises ends the whole map: the other tasks are cancelled and the
error is raised here, a FarmError as it was raised on the worker, anything
else as an EngineError that names the batch. A worker that dies mid-task is
replaced by the scheduler, which reruns its tasks elsewhere; Ctrl-C cancels
every task still queued or running.

Nothing here waits without bound. Before the first task the scheduler and
every worker import the task's module: the scheduler unpickles the task
graph and a worker that cannot import it leaves the cluster at its first
task, after which the tasks would wait for a worker forever. A cluster left
without workers for ``WORKER_WAIT_S`` ends the map. An address is checked
before a client is made: a malformed one, nothing listening there, or
something that is not a Dask scheduler each end in one line within
``CONNECT_TIMEOUT_S``.
"""
from __future__ import annotations

import asyncio
import logging
import os
import queue
import signal
import socket
import sys
import threading
import time
import uuid
from contextlib import contextmanager
from typing import Any, Callable, Iterator, Sequence

from .errors import EngineError, FarmError

__all__ = ["CONNECT_TIMEOUT_S", "DEFAULT_RETRIES", "ENGINES", "NO_DASHBOARD", "WORKER_WAIT_S",
           "EngineError", "check_cluster", "check_scheduler", "dask_client", "engine_client",
           "engine_label", "map_batches", "resolve_engine", "worker_threads"]

ENGINES = ("local", "dask")

# Reruns of a task that raised: for transient failures (a worker short of
# memory, a dropped connection). Workers that die are handled by the
# scheduler itself, which reruns their tasks up to its allowed-failures
# setting (3 by default) before giving up with KilledWorker.
DEFAULT_RETRIES = 2

# The log level of a cluster farmrun starts: above CRITICAL, so nothing. Its
# scheduler reports a client that left mid-run (Ctrl-C) as critical.
QUIET = logging.CRITICAL + 10

# Without a dashboard the scheduler still serves its health and metrics
# pages, by default on port 8787, with a warning where that port is taken.
NO_DASHBOARD = {"dashboard": False, "dashboard_address": "127.0.0.1:0"}

# Seconds to wait for a scheduler to answer before giving up: a scheduler on
# a network answers in milliseconds, and a user waiting on a wrong address
# should hear so well within 15 s.
CONNECT_TIMEOUT_S = 5

# Seconds a map waits while the cluster has no worker, at the start or after
# the last one left, before it ends with an error rather than wait forever.
WORKER_WAIT_S = 15

# How often a map waiting on its tasks looks at the cluster's workers.
_WATCH_S = 1.0


def resolve_engine(engine: str | None, client: Any = None) -> str:
    """The engine to use: ``engine`` checked, or, when None, "dask" if a client is given."""
    if engine is None:
        return "local" if client is None else "dask"
    if engine not in ENGINES:
        raise FarmError("engine", f"expected one of {', '.join(ENGINES)}, got {engine!r}")
    if engine == "local" and client is not None:
        raise FarmError("client", "a Dask client was given with engine 'local'; "
                                  "use engine 'dask' to run on it")
    return engine


def worker_threads(engine: str | None, client: Any = None) -> int:
    """Threads that solve batches at once: 1 here, all the cluster's on Dask."""
    if resolve_engine(engine, client) == "local":
        return 1
    return max(1, sum(_client(client).nthreads().values()))


def _bar(n: int, progress: bool | None):
    if progress is None:
        progress = n > 1 and sys.stderr.isatty()
    if not progress:
        return None
    from tqdm import tqdm
    return tqdm(total=n, desc="solving", unit="batch", leave=False)


def map_batches(fn: Callable[[Any, Any], Any], shared: Any, batches: Sequence[Any], *,
                engine: str | None = None, client: Any = None, progress: bool | None = None,
                retries: int = DEFAULT_RETRIES) -> list:
    """``[fn(shared, batch) for batch in batches]``, run by ``engine``.

    ``engine`` "local" runs the loop here; "dask" runs one task per batch on
    ``client``, a ``dask.distributed.Client`` (None: the default client). For Dask, ``fn`` must be a module-level function that the
    workers can import, and ``shared``, the batches and the results must
    pickle. ``progress`` shows a bar; None shows it on a terminal when there
    is more than one batch. ``retries`` reruns a Dask task that raised.
    """
    engine = resolve_engine(engine, client)
    batches = list(batches)
    bar = _bar(len(batches), progress)
    try:
        if engine == "local":
            results = []
            for batch in batches:
                results.append(fn(shared, batch))
                if bar is not None:
                    bar.update()
            return results
        return _map_dask(fn, shared, batches, _client(client), bar, retries)
    finally:
        if bar is not None:
            bar.close()


def _client(client):
    if client is not None:
        return client
    from distributed import default_client
    try:
        return default_client()
    except ValueError:
        raise FarmError("client", "engine 'dask' needs a dask.distributed Client: pass one, "
                                  "or create one first") from None


def _held(value):
    """The task that holds the shared values on the cluster."""
    return value


def _map_dask(fn, shared, batches, client, bar, retries) -> list:
    check_cluster(client, fn.__module__)
    token = uuid.uuid4().hex[:12]
    name = getattr(fn, "__name__", "batch")
    held = client.submit(_held, shared, key=f"farmrun-shared-{token}", pure=False)
    futures = [held]
    results: list = [None] * len(batches)
    try:
        futures += client.map(fn, [held] * len(batches), batches, pure=False, retries=retries,
                              key=[f"farmrun-{name}-{token}-{i}" for i in range(len(batches))])
        position = {f.key: i for i, f in enumerate(futures[1:])}
        # Finished, failed or cancelled tasks arrive here; waiting on the queue
        # with a timeout lets the map look at the cluster while nothing finishes.
        arrived: queue.Queue = queue.Queue()
        for future in futures[1:]:
            future.add_done_callback(arrived.put)
        remaining, watch = len(batches), _WorkerWatch(client)
        while remaining:
            try:
                done = [arrived.get(timeout=_WATCH_S)]
            except queue.Empty:
                watch.check()
                continue
            while not arrived.empty():
                done.append(arrived.get())
            for future in done:
                if future.status != "finished":
                    _raise_failure(future, position[future.key])
            for future, result in zip(done, client.gather(done)):
                results[position[future.key]] = result
            remaining -= len(done)
            if bar is not None:
                bar.update(len(done))
        return results
    finally:
        # After an error or Ctrl-C this stops every task still queued or
        # running; after success it frees the results held on the workers.
        client.cancel(futures)


class _WorkerWatch:
    """Ends a map whose cluster has had no worker for ``WORKER_WAIT_S``: the
    scheduler keeps such tasks waiting for a worker that may never come."""

    def __init__(self, client):
        self.client, self.since = client, None

    def check(self) -> None:
        if self.client.nthreads():
            self.since = None
            return
        now = time.monotonic()
        if self.since is None:
            self.since = now
        elif now - self.since >= WORKER_WAIT_S:
            raise EngineError(
                f"every worker of the Dask scheduler at {_address(self.client)} has left and "
                f"none came back within {WORKER_WAIT_S:g} s; a worker that cannot import "
                f"farmrun leaves at its first task: {_importable_hint()}")


def _address(client) -> str:
    return getattr(client.scheduler, "address", None) or "(unknown)"


def _importable_hint() -> str:
    """How to start a worker that imports this very farmrun and sorbane_cpp."""
    from pathlib import Path
    paths = [str(Path(__file__).resolve().parents[1])]
    compiled = sys.modules.get("sorbane_cpp")
    if compiled is not None and getattr(compiled, "__file__", None):
        paths.insert(0, str(Path(compiled.__file__).resolve().parent))
    return (f"start the scheduler and workers with PYTHONPATH={os.pathsep.join(paths)} "
            "(or with farmrun installed) and the same packages as this command")


def check_cluster(client, module: str) -> None:
    """Raises EngineError unless the cluster of ``client`` can run tasks of
    ``module``: a worker joins within ``WORKER_WAIT_S``, and the scheduler
    (which unpickles the task graph) and every worker import ``module``."""
    address = _address(client)
    if not client.nthreads():
        try:
            client.wait_for_workers(1, timeout=WORKER_WAIT_S)
        except TimeoutError:
            raise EngineError(f"no Dask worker joined the scheduler at {address} within "
                              f"{WORKER_WAIT_S:g} s; start some with: dask worker "
                              f"{address}") from None
    if module in ("__main__", "builtins"):
        return  # travels by value, or is everywhere
    # exec of an import statement: a builtin, so the probe itself unpickles
    # on a process that lacks the module.
    statement = f"import {module}"
    try:
        client.run_on_scheduler(exec, statement)
    except ImportError as e:
        raise EngineError(f"the Dask scheduler at {address} cannot import {module} "
                          f"({type(e).__name__}: {e}); {_importable_hint()}") from None
    except Exception:  # a scheduler that runs no functions: the tasks will tell
        pass
    answers = client.run(exec, statement, on_error="return")
    failed = {w: e for w, e in answers.items() if isinstance(e, ImportError)}
    if failed:
        worker = min(failed)
        error = failed[worker]
        raise EngineError(f"{len(failed)} of {len(answers)} Dask workers of the scheduler at "
                          f"{address} cannot import {module} (worker {worker}: "
                          f"{type(error).__name__}: {error}); {_importable_hint()}")


def _raise_failure(future, i: int):
    if future.status == "error":
        error = future.exception()
        if isinstance(error, FarmError):
            raise error
        text = f"{type(error).__name__}: {error}"
        if isinstance(error, ImportError):
            text += " (the workers must be able to import farmrun and sorbane_cpp)"
        raise EngineError(f"batch {i} failed on the cluster: {text}") from error
    raise EngineError(f"batch {i} was {future.status} on the cluster: the scheduler or "
                      "its workers went away")


def check_scheduler(address: str, timeout: float | None = None) -> None:
    """Checks that a Dask scheduler answers at ``address`` within ``timeout``
    seconds (default ``CONNECT_TIMEOUT_S``). Raises FarmError for an address
    that is not one (naming ``--scheduler``), EngineError when nothing listens
    there or what answers is not a scheduler."""
    from distributed.comm import get_address_host_port, parse_address
    from distributed.comm.registry import backends
    timeout = CONNECT_TIMEOUT_S if timeout is None else timeout
    try:
        scheme, _ = parse_address(address)
        if scheme not in backends:
            web = " (a web address, such as the dashboard's)" if scheme.startswith("http") else ""
            raise ValueError(f"unknown protocol {scheme}://{web}")
        host, port = get_address_host_port(address)
    except ValueError as e:
        raise FarmError("--scheduler", f"expected a scheduler address such as "
                                       f"tcp://head:8786, got {address!r} ({e})") from None
    if scheme in ("tcp", "tls"):
        # distributed's connect retries a refused connection until its timeout,
        # for a scheduler still starting; a plain socket hears the refusal now.
        try:
            socket.create_connection((host, port), timeout=timeout).close()
        except OSError as e:
            raise EngineError(f"no Dask scheduler at {address}: "
                              f"{e.strerror or type(e).__name__}") from None
    try:
        identity = asyncio.run(asyncio.wait_for(_identity(address, timeout), timeout))
    except (OSError, EOFError, ValueError, TypeError) as e:
        # A timeout (an OSError) or garbage: something that is not a scheduler,
        # such as its dashboard, holds the port.
        raise EngineError(f"no Dask scheduler answered at {address} within {timeout:g} s: "
                          "something there accepts connections but does not speak Dask's "
                          "protocol (the dashboard's port, perhaps); the scheduler prints its "
                          "own address as 'Scheduler at: tcp://...'") from None
    kind = identity.get("type") if isinstance(identity, dict) else None
    if kind != "Scheduler":
        raise EngineError(f"{address} is {'a Dask ' + kind if kind else 'not a Dask scheduler'}"
                          f", not the scheduler; give the address the scheduler prints as "
                          f"'Scheduler at: tcp://...'")


async def _identity(address: str, timeout: float):
    from distributed.comm import connect
    from distributed.security import Security
    comm = await connect(address, timeout=timeout,
                         **Security().get_connection_args("client"))
    try:
        await comm.write({"op": "identity", "reply": True})
        return await comm.read()
    finally:
        comm.abort()


@contextmanager
def dask_client(scheduler: str | None = None, workers: int | None = None) -> Iterator[Any]:
    """A ``dask.distributed.Client`` of the scheduler at ``scheduler`` (such as
    tcp://head:8786), checked first by ``check_scheduler``, or of a cluster of
    ``workers`` local worker processes (default: one per core) of one thread
    each, started here on the loopback interface, without a dashboard, and
    closed on leaving."""
    from distributed import Client, LocalCluster
    if scheduler is not None:
        check_scheduler(scheduler)
        try:
            client = Client(scheduler, timeout=CONNECT_TIMEOUT_S, set_as_default=False)
        except OSError as e:
            raise EngineError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
        with client:
            yield client
        return
    n = workers or os.cpu_count() or 1
    with _workers_ignore_ctrl_c():
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None, silence_logs=QUIET,
                               scheduler_kwargs=NO_DASHBOARD)
    with cluster, Client(cluster, set_as_default=False) as client:
        yield client


@contextmanager
def _workers_ignore_ctrl_c():
    """Ctrl-C reaches every process of the terminal's group, the local workers
    too; only this one should act on it (cancel the tasks, close the cluster).
    Worker processes started meanwhile inherit the ignored signal; a Ctrl-C
    within the second or so of the start is lost."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def engine_label(client: Any = None) -> str:
    """Where the batches ran, for a header: "local", or "dask" with the cluster's
    workers and scheduler address."""
    if client is None:
        return "local"
    n = len(client.nthreads())
    return f"dask ({n} worker{'s' if n != 1 else ''} at {_address(client)})"


@contextmanager
def engine_client(engine: str, scheduler: str | None = None,
                  workers: int | None = None) -> Iterator[Any]:
    """The client for the command line's ``--engine``, ``--scheduler`` and
    ``--workers``: None for the local engine."""
    if engine not in ENGINES:
        raise FarmError("--engine", f"expected one of {', '.join(ENGINES)}, got {engine!r}")
    if engine == "local":
        for option, value in (("--scheduler", scheduler), ("--workers", workers)):
            if value is not None:
                raise FarmError(option, "needs --engine dask")
        yield None
        return
    if scheduler is not None and workers is not None:
        raise FarmError("--workers", "give either --scheduler (an existing cluster) or "
                                     "--workers (a local one), not both")
    with dask_client(scheduler, workers) as client:
        yield client
