"""``--ray``: work spread over a Ray cluster with Ray Data, one actor per worker, each holding its own detector.

The inputs become a dataset of one row per task (a file); ``map_batches`` runs
them through a fixed pool of actors, each of which builds its worker once (for
detection: loads the model with ``get_detector``) and then serves task after
task.  Results come back to the driver in input order.  A worker process that
dies is restarted by Ray and its task tried again, ``RETRIES`` more times; a
task that still gets no result comes back as ``Lost``, and the run goes on.

Ray is imported here only, and only once a run asks for it: without ``--ray``
nothing imports Ray, and Ray need not be installed (``pip install
"quarn[cluster]"`` brings it).
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import pickle
import socket
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from quarn.inspection.detect.option_values import count

# Ray's setting for machines it takes for no cluster's node (its default on Windows and macOS), read when Ray is
# imported: "0" makes a Ray started here take 127.0.0.1 as its address, and its servers listen there only.
LOCAL_ONLY = "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"
MISSING_RAY = '--ray needs Ray, which is not installed. Install it with: pip install "quarn[cluster]"'
# a task whose worker died is tried again, on a restarted worker, this many times before it is given up
RETRIES = 2


@dataclass(frozen=True)
class Options:
    """Where to run: a cluster's address (None: $RAY_ADDRESS, else a local Ray started for the run), and how many workers."""

    address: str | None = None
    workers: int | None = None  # None: one per machine of the cluster


@dataclass(frozen=True)
class Lost:
    """A task that came back without a result, and why."""

    reason: str


_opened: list[str] = []  # where the sessions opened by this process run, innermost last


class ClusterError(Exception):
    """Ray is missing, or the cluster cannot be reached or cannot serve the run; the message says which, in one line."""


def add_options(parser: argparse.ArgumentParser) -> None:
    """``--ray``, ``--ray-address`` and ``--workers``, worded alike in every command that takes them."""
    parser.add_argument("--ray", action="store_true",
                        help="spread the inputs over a Ray cluster (pip install \"quarn[cluster]\"); results come back "
                        "in input order, the same as without --ray")
    parser.add_argument("--ray-address", metavar="ADDRESS",
                        help="the cluster to use, e.g. 'auto' on a machine of the cluster or HOST:6379 (default: "
                        "$RAY_ADDRESS, else a local Ray started for this run)")
    parser.add_argument("--workers", type=count(1), metavar="N",
                        help="Ray workers, each holding one detector (default: one per machine of the cluster)")


def options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Options | None:
    """The --ray settings of parsed ``args``; None without --ray.  --ray-address or --workers alone is a usage error."""
    if not args.ray:
        if args.ray_address is not None or args.workers is not None:
            parser.error("--ray-address and --workers go with --ray")
        return None
    return Options(args.ray_address, args.workers)


@contextlib.contextmanager
def _ray_warnings_ignored() -> Iterator[None]:
    # Ray's own warnings about its own settings and options (deprecations, announced changes of defaults)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", FutureWarning)
        yield


def _import_ray() -> Any:
    try:
        with _ray_warnings_ignored():
            import ray
            import ray.data
    except ImportError as exc:
        raise ClusterError(MISSING_RAY) from exc
    return ray


@contextlib.contextmanager
def session(opts: Options) -> Iterator[str]:
    """Ray connected for the block: the one already connected, else the cluster named, else a new local one.

    Yields where it runs, in words; a Ray this block started is shut down
    after it.  A local Ray started here listens on the loopback interface
    only.  Ray's own messages go to stderr meanwhile: it prints some (a
    worker that died) on stdout, which carries the run's results.
    """
    target = opts.address or os.environ.get("RAY_ADDRESS") or "local"
    if target == "local" and "ray" not in sys.modules:
        os.environ[LOCAL_ONLY] = "0"
    ray = _import_ray()
    with contextlib.redirect_stdout(sys.stderr), _ray_warnings_ignored():
        if ray.is_initialized():
            yield _opened[-1] if _opened else "the Ray already connected"
            return
        try:
            if target == "local":
                ray.init(address="local", include_dashboard=False, logging_level=logging.ERROR, log_to_driver=False)
            else:
                ray.init(address=target, logging_level=logging.ERROR, log_to_driver=False)
        except Exception as exc:  # ConnectionError, ValueError for a bad address, RuntimeError from the start-up
            where = "start a local Ray" if target == "local" else f"reach the Ray cluster at {target}"
            raise ClusterError(f"cannot {where}: {_first_line(exc)}") from None
        _opened.append("a local Ray started for this run" if target == "local" else f"the Ray cluster at {target}")
        try:
            yield _opened[-1]
        finally:
            _opened.pop()
            ray.shutdown()


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


class _Actor:
    """One worker of the pool: builds its worker once, then applies it to each task of each batch it is given.

    A worker that cannot be built (the model missing on that machine, say)
    answers every task with ``Lost`` saying so, instead of failing the run.
    """

    def __init__(self, build: Callable[[], Callable[[Any], Any]], cwd: str, settings: dict[str, str]) -> None:
        # relative names mean what they mean on the driver, where that folder exists here (a shared folder
        # mounted at the same place on every machine)
        with contextlib.suppress(OSError):
            os.chdir(cwd)
        # the driver's inference settings (--threads, --no-spin, QUARN_ORT_*) hold for its detector here too
        os.environ.update(settings)
        self.work: Callable[[Any], Any] | None = None
        self.broken = ""
        try:
            self.work = build()
        except Exception as exc:
            self.broken = f"the worker on {socket.gethostname()} could not start: {_first_line(exc)}"

    def __call__(self, batch: dict[str, Any]) -> dict[str, Any]:
        import numpy as np

        results = []
        for blob in batch["task"]:
            if self.work is None:
                result: Any = Lost(self.broken)
            else:
                try:
                    result = self.work(pickle.loads(blob))
                except Exception as exc:  # the work reports its inputs' failures itself; this is anything else
                    result = Lost(f"the worker on {socket.gethostname()} failed: {type(exc).__name__}: {_first_line(exc)}")
            results.append(pickle.dumps(result))
        return {"i": batch["i"], "result": np.array(results, dtype=object)}


def spread(build: Callable[[], Callable[[Any], Any]], tasks: Sequence[Any], opts: Options,
           tell: Callable[[str], None] | None = None) -> Iterator[Any]:
    """``build()(task)`` for each task, on Ray workers; the results (or ``Lost``) in the order of ``tasks``.

    ``build`` and the tasks travel to the workers by pickle, so they must be
    importable there (the package installed on every machine).  ``tell``
    hears where the run goes, once Ray is up.  Inside a ``session`` block,
    that session is used; else one is opened for the run.
    """
    if not tasks:
        return
    with session(opts) as where:
        ray = _import_ray()
        workers = opts.workers or _machines(ray)
        cpus = int(ray.cluster_resources().get("CPU", 0))
        if workers > cpus:
            raise ClusterError(f"--workers {workers} is more than the {cpus} CPUs of {where}")
        if tell is not None:
            tell(f"ray: {workers} worker{'s' if workers != 1 else ''} on {where}")
        yield from _run(ray, build, tasks, workers)


def _machines(ray: Any) -> int:
    return max(1, sum(1 for node in ray.nodes() if node.get("Alive")))


def _inference_settings() -> dict[str, str]:
    """The driver's QUARN_ORT_* settings, which the detector reads when it is loaded."""
    return {name: value for name, value in os.environ.items() if name.startswith("QUARN_ORT_")}


def _run(ray: Any, build: Callable[[], Callable[[Any], Any]], tasks: Sequence[Any], workers: int) -> Iterator[Any]:
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    context.execution_options.preserve_order = True  # results in input order; a lost task leaves a gap
    context.max_errored_blocks = -1  # a task given up is reported in its place; the others go on
    logging.getLogger("ray.data").setLevel(logging.CRITICAL)  # each loss is reported once, by the run itself
    rows = [{"i": i, "task": pickle.dumps(task)} for i, task in enumerate(tasks)]
    dataset = ray.data.from_items(rows, override_num_blocks=len(rows))  # one task per block: a loss costs one task
    dataset = dataset.map_batches(
        _Actor, fn_constructor_args=(build, os.getcwd(), _inference_settings()), batch_size=1, batch_format="numpy",
        compute=ray.data.ActorPoolStrategy(size=workers, max_tasks_in_flight_per_actor=1), num_cpus=1,
        # a dead worker is started again (as often as needed) and its task retried; SPREAD: one per machine first
        max_restarts=-1, max_task_retries=RETRIES, scheduling_strategy="SPREAD")
    lost = Lost(f"its worker stopped each of {RETRIES + 1} times it was tried (see the Ray logs)")
    done = 0
    try:
        for row in dataset.iter_rows():
            i = int(row["i"])
            for _ in range(done, i):  # in order: what was skipped is lost
                yield lost
            yield pickle.loads(row["result"])
            done = i + 1
    except Exception as exc:  # the run itself stopped (the cluster went away): what is left is not processed
        lost = Lost(f"the Ray run stopped: {_first_line(exc)}")
    for _ in range(done, len(tasks)):
        yield lost
