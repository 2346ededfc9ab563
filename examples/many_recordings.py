"""Baseline, corrected signal and change points of every recording in a folder.

    python examples/many_recordings.py recordings/ results/                 # threads
    python examples/many_recordings.py recordings/ results/ --engine dask   # a local Dask cluster
    python examples/many_recordings.py recordings/ results/ --engine dask \\
        --scheduler tcp://scheduler:8786                                    # an existing one

Every ``*.npy`` (a 1-D array) and ``*.csv`` file of INPUT_DIR is one recording. For each,
OUTPUT_DIR gets ``<stem>.baseline.npy`` and ``<stem>.corrected.npy`` (float64), and
``summary.csv`` one row: file, status (ok or failed), samples, change_points,
change_times_s, seconds, error. A recording that fails is reported there and the batch goes
on; the exit status is then 1. Each file is written under a temporary name and renamed into
place, and a rerun skips the recordings whose outputs are complete (``--overwrite`` redoes
them). ``--help`` lists every option.
"""

from __future__ import annotations

import concurrent.futures as cf
import csv
import io
import json
import math
import os
import pathlib
import socket
import sys
import time
from dataclasses import asdict, dataclass
from typing import BinaryIO, Callable, Iterable, Iterator

import numpy as np

import _vorn_ext
import vorn_recordings
from vorn_recordings import (InputError, OneLineParser, check_exclusions, default_window,
                             exclude_range, load_signal, panic_message, thinned_change_points,
                             usable_mask)

COLUMNS = ["file", "status", "samples", "change_points", "change_times_s", "seconds", "error"]
SUMMARY = "summary.csv"
PARAMETERS = "parameters.json"
# A recording whose attempts keep ending their worker process is given up after this many.
PROCESS_ATTEMPTS = 3


@dataclass(frozen=True)
class Settings:
    """What every recording is computed with; a rerun with other settings redoes everything."""
    window: int | None
    percentile: float
    penalty: float
    min_segment: int
    rate: float | None
    column: str | None
    exclude: tuple[tuple[float, float], ...]


@dataclass(frozen=True)
class Job:
    source: str        # the input file
    output_dir: str
    stem: str
    settings: Settings


# ---------------------------------------------------------------- one recording (runs on a worker)

def process_recording(job: Job) -> dict:
    """One summary row. Never raises for a bad recording: its message goes into the row.

    Only plain values come back, because the module's PanicException cannot be pickled
    from a worker process to the client.
    """
    name = os.path.basename(job.source)
    row = {"file": name, "status": "failed", "samples": "", "change_points": "",
           "change_times_s": "", "seconds": "", "error": ""}
    s = job.settings
    try:
        x, _ = load_signal(pathlib.Path(job.source), s.column)
        row["samples"] = str(x.size)
        usable = usable_mask(x, list(s.exclude), s.rate)
        window = s.window if s.window is not None else default_window(x.size)
        start = time.perf_counter()
        baseline = _vorn_ext.local_baseline_percentile(x, usable, window, s.percentile)
        corrected = x - baseline
        _, changes = thinned_change_points(corrected, usable, s.penalty, s.min_segment)
        seconds = time.perf_counter() - start
        directory = pathlib.Path(job.output_dir)
        for output, array in zip(outputs_of(job.stem), (baseline, corrected)):
            write_atomically(directory / output, npy_writer(array))
    except InputError as error:
        row["error"] = str(error)
        return row
    except Exception as error:
        row["error"] = f"{type(error).__name__}: {error}"
        return row
    except BaseException as error:
        message = panic_message(error)
        if message is None:
            raise  # KeyboardInterrupt, SystemExit: not the recording's fault
        row["error"] = message
        return row
    row.update(status="ok", change_points=" ".join(map(str, changes)),
               change_times_s=" ".join(format(c / s.rate, ".10g") for c in changes) if s.rate else "",
               seconds=f"{seconds:.6f}")
    return row


def npy_writer(array: np.ndarray) -> Callable[[BinaryIO], None]:
    return lambda handle: np.save(handle, array, allow_pickle=False)


def write_atomically(path: pathlib.Path, content: bytes | Callable[[BinaryIO], None]) -> None:
    """Write beside the target and rename: a reader sees the old file or the whole new one."""
    # Named after its writer, so that a writer killed before it could clean up is recognised.
    temporary = path.with_name(f".{path.name}.{socket.gethostname()}.{os.getpid()}."
                               f"{time.monotonic_ns()}.tmp")
    try:
        with open(temporary, "wb") as handle:
            if isinstance(content, bytes):
                handle.write(content)
            else:
                content(handle)  # streamed: a long recording is not held twice in memory
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def outputs_of(stem: str) -> tuple[str, str]:
    return f"{stem}.baseline.npy", f"{stem}.corrected.npy"


def remove_orphaned_temporaries(directory: pathlib.Path, stems: Iterable[str]) -> None:
    """Removes the temporaries of these recordings' outputs whose writer has ended.

    A worker process that ends in the middle of a write cannot remove its own, and a process
    pool that loses one worker ends all the others wherever they are. Only writers on this
    machine can be checked; a temporary whose writer is still running, or ran elsewhere, stays.
    One listing of the folder, however many recordings.
    """
    outputs = {output for stem in stems for output in outputs_of(stem)}
    suffix = "." + socket.gethostname()
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return
    for entry in entries:
        name = entry.name
        if not (name.startswith(".") and name.endswith(".tmp")):
            continue
        # .<output>.<host>.<pid>.<ns>.tmp: the output and the host may hold dots, the others not
        writer, _, stamp = name[1:-len(".tmp")].rpartition(".")
        writer, _, pid = writer.rpartition(".")
        if (writer.endswith(suffix) and writer[:-len(suffix)] in outputs and pid.isdigit()
                and stamp.isdigit() and not process_exists(int(pid))):
            try:
                os.unlink(entry.path)
            except FileNotFoundError:
                pass


def process_exists(pid: int) -> bool:
    if pid <= 0:
        return True  # not a process id of a writer: leave its file alone
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # someone else's
    return True


# ---------------------------------------------------------------- what is left to do

def find_inputs(directory: pathlib.Path) -> list[pathlib.Path]:
    return sorted(p for p in directory.iterdir()
                  if p.is_file() and p.suffix.lower() in (".npy", ".csv") and not p.name.startswith("."))


def read_summary(path: pathlib.Path) -> dict[str, dict]:
    try:
        with open(path, newline="", encoding="utf-8") as handle:
            rows = list(csv.DictReader(handle))
    except (OSError, csv.Error, UnicodeDecodeError):
        return {}
    return {row["file"]: row for row in rows if set(COLUMNS) <= row.keys()}


def is_complete(source: pathlib.Path, output_dir: pathlib.Path, stem: str, row: dict | None) -> bool:
    """An ok row from an earlier run and two whole outputs of its length, newer than the input."""
    if row is None or row["status"] != "ok" or not row["samples"].isdigit():
        return False
    try:
        for output in outputs_of(stem):
            path = output_dir / output
            if path.stat().st_mtime_ns < source.stat().st_mtime_ns:
                return False
            array = np.load(path, mmap_mode="r", allow_pickle=False)
            if array.shape != (int(row["samples"]),) or array.dtype != np.float64:
                return False
    except (OSError, ValueError):
        return False
    return True


def plan(inputs: list[pathlib.Path], output_dir: pathlib.Path, settings: Settings,
         overwrite: bool) -> tuple[list[Job], dict[str, dict]]:
    """The jobs to run, and the rows that are already final (complete outputs, name clashes)."""
    previous = {} if overwrite else read_summary(output_dir / SUMMARY)
    stored = read_parameters(output_dir / PARAMETERS)
    if stored != asdict(settings):
        previous = {}  # computed with other settings: nothing of it may be kept
    stems: dict[str, list[str]] = {}
    for path in inputs:
        stems.setdefault(path.stem, []).append(path.name)
    jobs, done = [], {}
    for path in inputs:
        clash = stems[path.stem]
        if len(clash) > 1:
            # Both would write <stem>.baseline.npy; writing either would lose the other.
            done[path.name] = failed_row(path.name, f"{', '.join(clash)} share the output name "
                                                    f"{path.stem!r}; rename all but one")
        elif is_complete(path, output_dir, path.stem, previous.get(path.name)):
            done[path.name] = previous[path.name]
        else:
            # Absolute: a worker process has a working folder of its own.
            jobs.append(Job(str(path.resolve()), str(output_dir.resolve()), path.stem, settings))
    return jobs, done


def failed_row(name: str, message: str) -> dict:
    return {"file": name, "status": "failed", "samples": "", "change_points": "",
            "change_times_s": "", "seconds": "", "error": message}


def read_parameters(path: pathlib.Path) -> dict | None:
    try:
        stored = json.loads(path.read_text())
    except (OSError, ValueError):
        return None
    if isinstance(stored, dict) and isinstance(stored.get("exclude"), list):
        stored["exclude"] = tuple(tuple(pair) for pair in stored["exclude"])
    return stored


def summary_text(rows: list[dict]) -> str:
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, COLUMNS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return buffer.getvalue()


def write_if_changed(path: pathlib.Path, text: str) -> None:
    """A rerun that changes nothing leaves the file alone, inode and time included."""
    try:
        if path.read_text(encoding="utf-8") == text:
            return
    except (OSError, UnicodeDecodeError):
        pass
    write_atomically(path, text.encode("utf-8"))


# ---------------------------------------------------------------- engines

Task = Callable[[Job], dict]


def run_serial(jobs: list[Job], task: Task, workers: int) -> Iterator[tuple[Job, dict]]:
    for job in jobs:
        yield job, task(job)


def run_threads(jobs: list[Job], task: Task, workers: int) -> Iterator[tuple[Job, dict]]:
    with cf.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(task, job): job for job in jobs}
        try:
            for future in cf.as_completed(futures):
                yield futures[future], future.result()
        finally:
            for future in futures:
                future.cancel()


def run_processes(jobs: list[Job], task: Task, workers: int) -> Iterator[tuple[Job, dict]]:
    """A process that dies takes the whole pool and every unfinished job with it.

    Start a new pool for what is left; when two pools in a row break before finishing
    anything, run the rest one at a time, so that only the recording that ends its
    process is given up on.
    """
    pending, stalls = list(jobs), 0
    while pending:
        broken: list[Job] = []
        finished = 0
        with cf.ProcessPoolExecutor(max_workers=min(workers, len(pending))) as pool:
            futures = {}
            for job in pending:
                try:
                    futures[pool.submit(task, job)] = job
                except cf.process.BrokenProcessPool:  # a worker died while the jobs went in
                    broken.append(job)
            for future in cf.as_completed(futures):
                try:
                    row = future.result()
                except cf.process.BrokenProcessPool:
                    broken.append(futures[future])
                    continue
                finished += 1
                yield futures[future], row
        stalls = 0 if finished else stalls + 1
        if broken and stalls >= 2:
            for job in sorted(broken, key=jobs.index):
                yield job, run_alone(job, task)
            return
        pending = broken


def run_alone(job: Job, task: Task) -> dict:
    for _ in range(PROCESS_ATTEMPTS):
        with cf.ProcessPoolExecutor(max_workers=1) as pool:
            try:
                return pool.submit(task, job).result()
            except cf.process.BrokenProcessPool:
                continue
    return failed_row(os.path.basename(job.source),
                      f"its worker process ended unexpectedly {PROCESS_ATTEMPTS} times")


def run_dask(jobs: list[Job], task: Task, workers: int, scheduler: str | None,
             ) -> Iterator[tuple[Job, dict]]:
    """Connects (or starts a local cluster) at once, so that its messages come before the bar."""
    import cloudpickle
    from dask.distributed import Client, LocalCluster

    # Workers need _vorn_ext installed, but not these example files: send their code along.
    for module in (vorn_recordings, sys.modules[__name__], sys.modules.get(task.__module__)):
        if module is not None and module.__name__ != "__main__":
            cloudpickle.register_pickle_by_value(module)
    if scheduler is not None:
        return dask_results(Client(scheduler), None, jobs, task)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)
    client = Client(cluster)
    try:
        import bokeh  # noqa: F401  the dashboard is drawn with it
        dashboard = f"dashboard {client.dashboard_link}"
    except ImportError:
        dashboard = "no dashboard (pip install bokeh for one)"
    print(f"dask: local cluster of {workers} worker processes; {dashboard}", file=sys.stderr)
    return dask_results(client, cluster, jobs, task)


def dask_results(client, cluster, jobs: list[Job], task: Task) -> Iterator[tuple[Job, dict]]:
    from dask.distributed import as_completed

    try:
        futures = {client.submit(task, job, key=f"recording-{i}-{job.stem}", pure=False): job
                   for i, job in enumerate(jobs)}
        for future in as_completed(list(futures)):
            job = futures[future]
            try:
                yield job, future.result()
            except Exception as error:  # the cluster gave up on it (KilledWorker, lost data)
                yield job, failed_row(os.path.basename(job.source),
                                      f"{type(error).__name__}: {error}")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


class Progress:
    """tqdm on standard error when it is installed, else a line per recording."""

    def __init__(self, total: int):
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar, self.total, self.count = None, total, 0
        else:
            tqdm.monitor_interval = 0  # no monitor thread: the processes engine forks
            self.bar = tqdm(total=total, unit="recording", file=sys.stderr, dynamic_ncols=True)

    def update(self, row: dict) -> None:
        if self.bar is not None:
            self.bar.update(1)
        else:
            self.count += 1
            print(f"{self.count}/{self.total} {row['file']}: {row['status']}", file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# ---------------------------------------------------------------- command line

def parser() -> OneLineParser:
    p = OneLineParser(prog="many_recordings.py",
                      description="Baseline, corrected signal and change points of every "
                                  ".npy and .csv recording in INPUT_DIR, written to OUTPUT_DIR.")
    p.add_argument("input_dir", type=pathlib.Path, metavar="INPUT_DIR")
    p.add_argument("output_dir", type=pathlib.Path, metavar="OUTPUT_DIR")
    p.add_argument("--engine", choices=("serial", "threads", "processes", "dask"),
                   default="threads", help="where recordings are computed (default: threads)")
    p.add_argument("--workers", type=int, metavar="N",
                   help="threads, processes or local Dask workers (default: the processors "
                        "available)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="an existing Dask scheduler, e.g. tcp://host:8786 (with --engine dask; "
                        "without it a local cluster of N single-threaded processes is started)")
    p.add_argument("--window", type=int, metavar="SAMPLES",
                   help="baseline window (default: 1%% of each recording's length, odd, >= 3)")
    p.add_argument("--percentile", type=float, default=10.0,
                   help="percentile of each window, 0 to 100 (default: 10)")
    p.add_argument("--penalty", type=float, default=3.0, help="pelt's penalty factor (default: 3)")
    p.add_argument("--min-segment", type=int, default=10, metavar="SAMPLES",
                   help="pelt's shortest segment, in the samples pelt sees (default: 10)")
    p.add_argument("--rate", type=float, metavar="HZ",
                   help="sampling rate: fills change_times_s, and --exclude counts seconds")
    p.add_argument("--column", help="CSV column, by header name or 0-based index (default: last)")
    p.add_argument("--exclude", type=exclude_range, action="append", default=[],
                   metavar="START:END",
                   help="leave out the samples from START up to END in every recording "
                        "(seconds with --rate, else sample indices); repeatable")
    p.add_argument("--overwrite", action="store_true",
                   help="redo recordings whose outputs are already complete")
    return p


def check_arguments(p: OneLineParser, args) -> None:
    def need(ok: bool, message: str) -> None:
        if not ok:
            p.error(message)

    need(args.input_dir.is_dir(), f"INPUT_DIR {str(args.input_dir)!r} is not a folder")
    need(not args.output_dir.exists() or args.output_dir.is_dir(),
         f"OUTPUT_DIR {str(args.output_dir)!r} is not a folder")
    need(args.input_dir.resolve() != args.output_dir.resolve(),
         "OUTPUT_DIR must differ from INPUT_DIR (outputs would be read as recordings)")
    need(args.workers is None or args.workers >= 1, f"--workers must be at least 1, got {args.workers}")
    need(args.scheduler is None or args.engine == "dask", "--scheduler needs --engine dask")
    need(math.isfinite(args.percentile) and 0 <= args.percentile <= 100,
         f"--percentile must be between 0 and 100, got {args.percentile:g}")
    need(math.isfinite(args.penalty) and args.penalty >= 0,
         f"--penalty must be a finite number >= 0, got {args.penalty:g}")
    need(args.min_segment >= 2, f"--min-segment must be at least 2, got {args.min_segment}")
    need(args.window is None or args.window >= 2, f"--window must be at least 2, got {args.window}")
    need(args.rate is None or (math.isfinite(args.rate) and args.rate > 0),
         f"--rate must be a positive number, got {args.rate}")
    problem = check_exclusions(args.exclude, args.rate)
    need(problem is None, problem or "")
    if args.engine == "dask":
        try:
            import dask.distributed  # noqa: F401
        except ImportError:
            p.error('--engine dask needs Dask: pip install "vorn-ext[batch]"')


def main(argv: list[str] | None = None, task: Task = process_recording) -> int:
    p = parser()
    args = p.parse_args(argv)
    check_arguments(p, args)
    workers = args.workers or len(os.sched_getaffinity(0))
    inputs = find_inputs(args.input_dir)
    if not inputs:
        p.error(f"INPUT_DIR {str(args.input_dir)!r} holds no .npy or .csv file")
    try:
        args.output_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        p.error(f"cannot create OUTPUT_DIR {str(args.output_dir)!r}: {error.strerror or error}")

    settings = Settings(args.window, args.percentile, args.penalty, args.min_segment, args.rate,
                        args.column, tuple(args.exclude))
    jobs, rows = plan(inputs, args.output_dir, settings, args.overwrite)
    # The settings go first: if the batch is cut short, the outputs already written are
    # known to belong to them.
    write_if_changed(args.output_dir / PARAMETERS, json.dumps(asdict(settings), indent=1) + "\n")
    if jobs:
        if args.engine == "dask":
            results = run_dask(jobs, task, workers, args.scheduler)
        else:
            engine = {"serial": run_serial, "threads": run_threads,
                      "processes": run_processes}[args.engine]
            results = engine(jobs, task, workers)
        progress = Progress(len(jobs))
        try:
            for job, row in results:
                rows[row["file"]] = row
                progress.update(row)
            for job in jobs:  # an engine that lost a job must not pass it off as done
                name = os.path.basename(job.source)
                rows.setdefault(name, failed_row(name, "no result came back from the engine"))
        finally:
            progress.close()
            remove_orphaned_temporaries(args.output_dir, [job.stem for job in jobs])
            # Also after Ctrl-C: the rows finished so far are kept.
            ordered = [rows[p.name] for p in inputs if p.name in rows]
            write_if_changed(args.output_dir / SUMMARY, summary_text(ordered))
    else:
        write_if_changed(args.output_dir / SUMMARY, summary_text([rows[p.name] for p in inputs]))

    failed = [row for row in rows.values() if row["status"] != "ok"]
    redone = {os.path.basename(job.source) for job in jobs}
    kept = sum(1 for name, row in rows.items() if name not in redone and row["status"] == "ok")
    print(f"{len(inputs)} recordings: {len(inputs) - len(failed)} ok ({kept} already complete), "
          f"{len(failed)} failed; summary: {args.output_dir / SUMMARY}", file=sys.stderr)
    for row in failed:
        print(f"  {row['file']}: {row['error']}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
