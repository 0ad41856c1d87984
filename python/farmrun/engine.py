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
"""
from __future__ import annotations

import logging
import os
import signal
import sys
import threading
import uuid
from contextlib import contextmanager
from typing import Any, Callable, Iterator, Sequence

from .errors import EngineError, FarmError

__all__ = ["DEFAULT_RETRIES", "ENGINES", "NO_DASHBOARD", "EngineError", "dask_client",
           "engine_client", "map_batches", "resolve_engine"]

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

# Seconds to wait for a scheduler to answer before giving up.
CONNECT_TIMEOUT_S = 10


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
    from distributed import as_completed
    token = uuid.uuid4().hex[:12]
    name = getattr(fn, "__name__", "batch")
    held = client.submit(_held, shared, key=f"farmrun-shared-{token}", pure=False)
    futures = [held]
    results: list = [None] * len(batches)
    try:
        futures += client.map(fn, [held] * len(batches), batches, pure=False, retries=retries,
                              key=[f"farmrun-{name}-{token}-{i}" for i in range(len(batches))])
        position = {f.key: i for i, f in enumerate(futures[1:])}
        for future, result in as_completed(futures[1:], loop=client.loop, with_results=True,
                                           raise_errors=False):
            i = position[future.key]
            if future.status != "finished":
                _raise_failure(future, i)
            results[i] = result
            if bar is not None:
                bar.update()
        return results
    finally:
        # After an error or Ctrl-C this stops every task still queued or
        # running; after success it frees the results held on the workers.
        client.cancel(futures)


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


@contextmanager
def dask_client(scheduler: str | None = None, workers: int | None = None) -> Iterator[Any]:
    """A ``dask.distributed.Client`` of the scheduler at ``scheduler`` (such as
    tcp://head:8786), or of a cluster of ``workers`` local worker processes
    (default: one per core) of one thread each, started here on the loopback
    interface, without a dashboard, and closed on leaving."""
    from distributed import Client, LocalCluster
    if scheduler is not None:
        try:
            client = Client(scheduler, timeout=CONNECT_TIMEOUT_S, set_as_default=False)
        except OSError as e:
            raise OSError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
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
