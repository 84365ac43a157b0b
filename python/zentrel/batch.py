"""Catalogues of images on a Dask cluster (Debian's ``python3-distributed``).

:func:`run` maps one job over many paths and yields one record per path (see
:mod:`zentrel.records`), in the order of the paths, as soon as the records
before it are in. The images are read where the workers find them: only paths
and records cross the network.

Each worker process holds one library instance and runs one image at a time
(``threads_per_worker=1``: the library serializes its calls anyway). An image
whose job raises is retried (``retries``); an image whose worker process dies
is given to another worker once, and if that one dies too it is reported as
failed. Either way the batch goes on: a failure is a record, never a lost
batch.

>>> from zentrel import batch
>>> for record in batch.run(["a.png", "b.png"], job="repeat"):
...     print(record)
"""

from __future__ import annotations

import contextlib
import functools
import itertools
import json
import logging
import os
import selectors
import subprocess
import sys
import uuid
from typing import (TYPE_CHECKING, Callable, Dict, Iterable, Iterator, Optional, Sequence, Sized,
                    TextIO, Tuple, Union)

from zentrel import records
from zentrel.records import Record, StrPath

if TYPE_CHECKING:
    import distributed

__all__ = ["JOBS", "local_client", "run"]

JOBS: Dict[str, Callable[..., Record]] = {
    "repeat": records.repeat,
    "rectify": records.rectify,
    "tile": records.tile,
    "extract": records.extract,
}

# The scheduler settings a run relies on; a cluster of one's own is started
# with them (docs/cluster.md). A task may take part in one worker's death and
# be run again, the second death marks it failed (Dask's KilledWorker); and a
# worker holds only the task it runs, so that its death costs no queued task
# a try.
SCHEDULER_CONFIG = {
    "distributed.scheduler.allowed-failures": 1,
    "distributed.scheduler.worker-saturation": 1.0,
}


def run(paths: Iterable[StrPath], job: Union[str, Callable[[str], Record]] = "repeat",
        client: Optional["distributed.Client"] = None, *,
        corners: Optional[Sequence[Tuple[int, int]]] = None,
        folder: Optional[StrPath] = None, export: Optional[Dict[str, object]] = None,
        workers: Optional[int] = None, retries: int = 1, window: Optional[int] = None,
        progress: Optional[TextIO] = None) -> Iterator[Record]:
    """Runs ``job`` on each of ``paths`` on a Dask cluster and yields the
    records in the order of ``paths``.

    ``job`` is ``"repeat"``, ``"rectify"`` (with the same ``corners`` for
    every image), ``"tile"`` or ``"extract"`` (the tile written into
    ``folder``, which the workers must see, as NAME_tile.png; ``export``
    holds :func:`zentrel.records.extract`'s other options, such as
    ``{"combine": "mean", "dpi": 300}``), or a function of one path that
    returns a record and can be imported on the workers. ``client`` is a
    ``distributed.Client``; without one, a ``LocalCluster`` of ``workers``
    process workers (default: one per core) is started and stopped around
    the run. At most ``window`` images (default: 16 per worker thread) are
    submitted or waiting to be yielded at a time, so that a catalogue of any
    length needs bounded memory. ``progress``, if given, is a terminal
    stream that shows a progress bar (needs ``len(paths)``).
    """
    function, name = _job_function(job, corners, folder, export)
    if client is not None:
        yield from _stream(client, function, name, paths, retries, window, progress)
        return
    with local_client(workers) as own:
        yield from _stream(own, function, name, paths, retries, window, progress)


@contextlib.contextmanager
def local_client(workers: Optional[int] = None) -> Iterator["distributed.Client"]:
    """A client of a new ``LocalCluster`` of ``workers`` process workers
    (default: one per core) with one thread each, stopped on exit.

    The cluster runs in a process of its own, started with this process's
    ``sys.path`` and Dask configuration. Its workers therefore never import
    the caller's main module, so a script without the
    ``if __name__ == "__main__":`` guard, or one fed on standard input, works
    as a guarded one does."""
    import dask
    from distributed import Client

    environment = dict(os.environ)
    environment["DASK_INTERNAL_INHERIT_CONFIG"] = dask.config.serialize(dask.config.global_config)
    host = subprocess.Popen(
        [sys.executable, "-c", _CLUSTER_HOST, json.dumps(sys.path),
         str(workers or os.cpu_count() or 1)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment)
    try:
        address = _cluster_address(host)
        with Client(address) as client:
            yield client
    finally:
        # The host stops its cluster when its standard input closes.
        host.stdin.close()
        try:
            host.wait(timeout=_CLUSTER_TIMEOUT)
        except subprocess.TimeoutExpired:
            host.kill()
            host.wait()
        host.stdout.close()


# How long the cluster's own process may take to start or to stop.
_CLUSTER_TIMEOUT = 60

# The cluster's process runs this with `python -c`: a main module without a
# file, so that the workers it spawns import nothing of anyone's.
_CLUSTER_HOST = """\
import json, sys
sys.path[:] = json.loads(sys.argv[1])
from zentrel.batch import _serve_local_cluster
_serve_local_cluster(int(sys.argv[2]))
"""


def _serve_local_cluster(workers: int) -> None:
    """The body of local_client's cluster process: starts the cluster, hands
    its address to the client on standard output, and stops it when
    standard input closes (the client is done, or gone)."""
    import dask
    from distributed import LocalCluster

    # The scheduler reads these when it starts.
    with dask.config.set(SCHEDULER_CONFIG):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=":0", silence_logs=logging.ERROR) as cluster:
            print(cluster.scheduler_address, flush=True)
            sys.stdin.read()


def _cluster_address(host: "subprocess.Popen[bytes]") -> str:
    """The scheduler address the cluster's process reports, or an error as
    soon as it ends without one, or after _CLUSTER_TIMEOUT seconds."""
    with selectors.DefaultSelector() as selector:
        selector.register(host.stdout, selectors.EVENT_READ)
        if selector.select(timeout=_CLUSTER_TIMEOUT):
            address = host.stdout.readline().decode().strip()
            if address:
                return address
            why = f"its process ended with status {host.wait()} (its messages are above)"
        else:
            host.kill()
            host.wait()
            why = f"it reported no address within {_CLUSTER_TIMEOUT} s"
    raise RuntimeError(f"the local Dask cluster did not start: {why}; pass "
                       "client=distributed.Client(ADDRESS) to use a running cluster instead")


def _job_function(job: Union[str, Callable[[str], Record]],
                  corners: Optional[Sequence[Tuple[int, int]]], folder: Optional[StrPath] = None,
                  export: Optional[Dict[str, object]] = None
                  ) -> Tuple[Callable[[str], Record], str]:
    if callable(job):
        return job, getattr(job, "__name__", "job")
    if job not in JOBS:
        raise ValueError(f"job must be one of {', '.join(JOBS)} or a function, not {job!r}")
    if job == "rectify":
        if corners is None:
            raise ValueError("the rectify job needs corners")
        return functools.partial(records.rectify, corners=[tuple(point) for point in corners]), job
    if job == "extract":
        if folder is None:
            raise ValueError("the extract job needs a folder")
        return functools.partial(records.extract, folder=os.fsdecode(folder),
                                 **(export or {})), job
    return JOBS[job], job


def _stream(client: "distributed.Client", function: Callable[[str], Record], name: str,
            paths: Iterable[StrPath], retries: int, window: Optional[int],
            progress: Optional[TextIO]) -> Iterator[Record]:
    from distributed import as_completed

    if window is None:
        window = 16 * max(1, sum(client.nthreads().values()))
    bar = None
    if progress is not None and isinstance(paths, Sized):
        bar = _ProgressBar(progress, len(paths))
    token = uuid.uuid4().hex
    pending = iter(enumerate(paths))
    submitted: Dict[str, Tuple[int, str]] = {}
    finished: Dict[int, Record] = {}
    next_index = 0
    running = as_completed()

    def submit_more() -> None:
        for index, path in itertools.islice(pending, max(0, window - len(submitted) -
                                                         len(finished))):
            path = os.fsdecode(path)
            future = client.submit(function, path, key=f"zentrel-{name}-{token}-{index}",
                                   retries=retries)
            submitted[future.key] = (index, path)
            running.add(future)

    try:
        submit_more()
        for future in running:
            index, path = submitted.pop(future.key)
            finished[index] = _record_of(future, name, path)
            future.release()
            while next_index in finished:
                if bar is not None:
                    bar.advance()
                yield finished.pop(next_index)
                next_index += 1
            submit_more()
    finally:
        if bar is not None:
            bar.close()


def _record_of(future: "distributed.Future", name: str, path: str) -> Record:
    from distributed import KilledWorker

    try:
        error = future.exception()
        if error is None:
            return future.result()
    except Exception as lost:  # cancelled: the scheduler forgot the task
        error = lost
    if isinstance(error, KilledWorker):
        reason = "the worker process died while working on this image, twice"
    else:
        reason = f"{type(error).__name__}: {error}"
    return records.failure(name, path, reason)


class _ProgressBar:
    """One line on a terminal: [####......] done/total."""

    WIDTH = 30

    def __init__(self, stream: TextIO, total: int) -> None:
        self.stream, self.total, self.done = stream, total, 0
        self._draw()

    def advance(self) -> None:
        self.done += 1
        self._draw()

    def close(self) -> None:
        self.stream.write("\r\033[K")
        self.stream.flush()

    def _draw(self) -> None:
        filled = self.WIDTH if self.total == 0 else self.done * self.WIDTH // self.total
        self.stream.write(f"\r\033[K[{'#' * filled}{'.' * (self.WIDTH - filled)}] "
                          f"{self.done}/{self.total}")
        self.stream.flush()
