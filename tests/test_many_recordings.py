"""The batch tool on real engines: threads, processes, a Dask LocalCluster, and a worker that dies."""

import csv
import importlib.util
import math
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import _vorn_ext

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
TOOL = EXAMPLES / "many_recordings.py"
RUN_TIMEOUT = 180  # seconds; a hung cluster fails the test instead of the whole run


@pytest.fixture(scope="module")
def tool():
    sys.path.insert(0, str(EXAMPLES))
    spec = importlib.util.spec_from_file_location("many_recordings", TOOL)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses and pickling look their module up there
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[spec.name]
        sys.path.remove(str(EXAMPLES))


def make_recordings(folder: pathlib.Path) -> dict[str, np.ndarray]:
    """Six recordings, two of them unusable; returns the samples each readable one holds."""
    folder.mkdir()
    rng = np.random.default_rng(12)
    a = rng.normal(0, 1, 12_000).cumsum() * 0.02 + rng.normal(0, 1, 12_000)
    a[7_000:] += 6.0
    a[rng.choice(a.size, 30, replace=False)] = np.nan
    b = 1.0 + np.exp(-np.arange(40_000) / 9_000.0) + rng.normal(0, 0.05, 40_000)  # anchor path
    b[25_000:] -= 0.5
    c = rng.integers(-200, 200, 3_000).astype(np.int16)
    d = np.sin(np.arange(2_500) / 40.0) + rng.normal(0, 0.1, 2_500)
    d[[0, 10, 11, 700]] = np.nan
    np.save(folder / "a.npy", a)
    np.save(folder / "b.npy", b)
    np.save(folder / "c.npy", c)
    cells = ["NA", "", "nan", "NaN"]
    with open(folder / "d.csv", "w") as handle:
        handle.write("time,dff\n")
        for i, v in enumerate(d):
            handle.write(f"{i / 100},{cells[i % 4] if np.isnan(v) else repr(float(v))}\n")
    (folder / "broken.npy").write_bytes(b"\x93NUMPY\x01\x00 truncated")
    np.save(folder / "image.npy", np.zeros((3, 4)))
    return {"a": a, "b": b, "c": c.astype(np.float64), "d": d}


def expected_outputs(x: np.ndarray, rate: float) -> tuple[np.ndarray, np.ndarray, list[int], str]:
    window = max(3, x.size // 100) | 1
    baseline = _vorn_ext.local_baseline_percentile(x, np.isfinite(x), window, 10.0)
    corrected = x - baseline
    usable = np.flatnonzero(np.isfinite(x))
    seen = usable[:: max(1, math.ceil(usable.size / 5000))]
    changes = [int(seen[i]) for i in _vorn_ext.pelt(corrected[seen], 3.0, 10)]
    return baseline, corrected, changes, " ".join(format(c / rate, ".10g") for c in changes)


def run(*argv, script=TOOL, check_rc=None):
    # A run that hangs is ended with every process it started (its own session). First SIGUSR1:
    # scripts that register faulthandler for it (DIES) then print every thread's stack, and the
    # failure shows where each process was.
    args = [sys.executable, str(script), *map(str, argv)]
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          start_new_session=True) as process:
        try:
            stdout, stderr = process.communicate(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            for pid in session_members(process.pid):  # one at a time: their stacks interleave
                os.kill(pid, signal.SIGUSR1)
                time.sleep(0.5)
            os.killpg(process.pid, signal.SIGKILL)
            stdout, stderr = process.communicate()
            pytest.fail(f"{args} did not end within {RUN_TIMEOUT} s; its standard error, with "
                        f"the stacks of its processes:\n{stderr}")
    done = subprocess.CompletedProcess(args, process.returncode, stdout, stderr)
    if check_rc is not None:
        assert done.returncode == check_rc, done.stderr
    return done


def session_members(session: int) -> list[int]:
    members = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rpartition(")")[2].split()
        except OSError:
            continue  # ended meanwhile
        if int(fields[3]) == session:  # after the name: state, ppid, pgrp, session
            members.append(int(stat.parent.name))
    return sorted(members)


def summary(folder: pathlib.Path) -> dict[str, dict]:
    with open(folder / "summary.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert list(rows[0]) == ["file", "status", "samples", "change_points", "change_times_s",
                             "seconds", "error"]
    return {row["file"]: row for row in rows}


def snapshot(folder: pathlib.Path) -> dict[str, tuple[int, int]]:
    return {p.name: (p.stat().st_ino, p.stat().st_mtime_ns) for p in folder.iterdir()}


def check_batch(folder: pathlib.Path, recordings: dict[str, np.ndarray]) -> None:
    rows = summary(folder)
    assert sorted(rows) == ["a.npy", "b.npy", "broken.npy", "c.npy", "d.csv", "image.npy"]
    for stem, x in recordings.items():
        row = rows[next(name for name in rows if name.startswith(stem + "."))]
        baseline, corrected, changes, times = expected_outputs(x, 100.0)
        assert row["status"] == "ok" and row["error"] == "", row
        assert row["samples"] == str(x.size)
        got = np.load(folder / f"{stem}.baseline.npy")
        assert got.dtype == np.float64 and got.tobytes() == baseline.tobytes(), stem
        assert np.load(folder / f"{stem}.corrected.npy").tobytes() == corrected.tobytes(), stem
        assert row["change_points"] == " ".join(map(str, changes)), stem
        assert row["change_times_s"] == times and float(row["seconds"]) >= 0
    assert changes_near(rows["a.npy"], 7_000) and changes_near(rows["b.npy"], 25_000)
    for name, message in [("broken.npy", "broken.npy: not a numeric .npy array"),
                          ("image.npy", "expected a one-dimensional signal, got shape (3, 4)")]:
        assert rows[name]["status"] == "failed" and message in rows[name]["error"], rows[name]
        assert not (folder / f"{name[:-4]}.baseline.npy").exists()
    assert not [p for p in folder.iterdir() if p.name.startswith(".")]  # no temporary left


def changes_near(row: dict, step: int) -> bool:
    return any(abs(int(c) - step) <= 20 for c in row["change_points"].split())


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    root = tmp_path_factory.mktemp("batch")
    recordings = make_recordings(root / "in")
    done = run(root / "in", root / "threads", "--engine", "threads", "--workers", "2",
               "--rate", "100")
    return root, recordings, done


def test_threads_engine_equals_the_direct_calls(batch):
    root, recordings, done = batch
    assert done.returncode == 1, done.stderr      # two recordings failed
    assert "6/6" in done.stderr                   # tqdm's bar on standard error
    assert "6 recordings: 4 ok (0 already complete), 2 failed" in done.stderr
    check_batch(root / "threads", recordings)


def test_rerun_rewrites_nothing_and_overwrite_redoes(batch, tool, capsys):
    root, _, _ = batch
    out = root / "threads"
    before = snapshot(out)
    assert run(root / "in", out, "--rate", "100", check_rc=1).stderr.count("(4 already complete)")
    assert snapshot(out) == before

    copy = root / "copy"
    copy.mkdir()
    for p in out.iterdir():
        (copy / p.name).write_bytes(p.read_bytes())
    before = snapshot(copy)
    # Other settings make every output stale; --overwrite redoes even complete ones.
    for extra in (["--window", "301"], ["--window", "301", "--overwrite"]):
        assert tool.main([str(root / "in"), str(copy), "--engine", "serial", "--rate", "100",
                          *extra]) == 1
        after = snapshot(copy)
        for stem in "abcd":
            assert after[f"{stem}.baseline.npy"] != before[f"{stem}.baseline.npy"]
        before = after
    x = np.load(root / "in" / "b.npy")
    expected = _vorn_ext.local_baseline_percentile(x, np.isfinite(x), 301, 10.0)
    assert np.load(copy / "b.baseline.npy").tobytes() == expected.tobytes()

    # An output that is gone, or cut short, makes its recording incomplete: only it is redone.
    (copy / "a.corrected.npy").unlink()
    cut = (copy / "c.baseline.npy").read_bytes()
    (copy / "c.baseline.npy").write_bytes(cut[:-8])
    before = snapshot(copy)
    assert tool.main([str(root / "in"), str(copy), "--engine", "serial", "--rate", "100",
                      "--window", "301"]) == 1
    after = snapshot(copy)
    assert {n for n in after if after[n] != before.get(n)} == \
        {"a.baseline.npy", "a.corrected.npy", "c.baseline.npy", "c.corrected.npy", "summary.csv"}
    assert (copy / "c.baseline.npy").read_bytes() == cut
    capsys.readouterr()


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        yield local


def test_dask_cluster_writes_what_the_threads_write(batch, cluster, tmp_path):
    root, recordings, _ = batch
    out = tmp_path / "dask"
    done = run(root / "in", out, "--engine", "dask", "--scheduler", cluster.scheduler_address,
               "--rate", "100", check_rc=1)
    check_batch(out, recordings)
    threads = root / "threads"
    for name in sorted(p.name for p in out.glob("*.npy")):
        assert (out / name).read_bytes() == (threads / name).read_bytes(), name
    strip = {name: {k: v for k, v in row.items() if k != "seconds"}
             for name, row in summary(out).items()}
    assert strip == {name: {k: v for k, v in row.items() if k != "seconds"}
                     for name, row in summary(threads).items()}
    before = snapshot(out)
    run(root / "in", out, "--engine", "dask", "--scheduler", cluster.scheduler_address,
        "--rate", "100", check_rc=1)
    assert snapshot(out) == before, done.stderr


DIES = """
import faulthandler, os, pathlib, signal, sys
faulthandler.register(signal.SIGUSR1, all_threads=True)  # inherited by forked workers
sys.path.insert(0, {examples!r})
from many_recordings import main, process_recording, write_atomically

def dies(job):
    marker = pathlib.Path({markers!r}) / job.stem
    if job.stem == "b" and ({always!r} or not marker.exists()):
        marker.touch()
        # the worker process ends in the middle of the batch, half-way through a write
        write_atomically(pathlib.Path(job.output_dir) / "b.baseline.npy",
                         lambda handle: (handle.write(b"partial"), handle.flush(), os._exit(17)))
    return process_recording(job)

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:], task=dies))
"""


def test_a_pool_that_breaks_while_its_jobs_go_in(tool, monkeypatch):
    # A worker that dies early breaks the pool before every job is in: submit() then raises.
    # Those jobs go to the next pool like the ones the break took, and none is lost.
    class BreaksOnThirdSubmit(tool.cf.ProcessPoolExecutor):
        submitted = 0

        def submit(self, fn, *args, **kwargs):
            BreaksOnThirdSubmit.submitted += 1
            if BreaksOnThirdSubmit.submitted == 3:
                raise tool.cf.process.BrokenProcessPool("a child process terminated abruptly")
            return super().submit(fn, *args, **kwargs)

    monkeypatch.setattr(tool.cf, "ProcessPoolExecutor", BreaksOnThirdSubmit)
    results = dict(tool.run_processes(list(range(5)), abs, 2))
    assert results == {job: job for job in range(5)}


@pytest.mark.parametrize("engine, always", [("processes", False), ("dask", False),
                                            ("processes", True)])
def test_a_worker_process_that_dies(batch, tmp_path, engine, always):
    if engine == "dask":
        pytest.importorskip("dask.distributed")
    root, recordings, _ = batch
    script = tmp_path / "dies.py"
    script.write_text(DIES.format(examples=str(EXAMPLES), markers=str(tmp_path), always=always))
    out = tmp_path / "out"
    done = run(root / "in", out, "--engine", engine, "--workers", "2", "--rate", "100",
               script=script, check_rc=1)
    assert (tmp_path / "b").exists()   # it did die
    rows = summary(out)
    if always:
        assert rows["b.npy"]["error"] == "its worker process ended unexpectedly 3 times"
        assert not (out / "b.baseline.npy").exists()
        assert not [p for p in out.iterdir() if p.name.startswith(".")]  # no temporary left
        recordings = {k: v for k, v in recordings.items() if k != "b"}
        for stem, x in recordings.items():
            baseline = expected_outputs(x, 100.0)[0]
            assert np.load(out / f"{stem}.baseline.npy").tobytes() == baseline.tobytes()
        return
    if engine == "dask":
        assert "dask: local cluster of 2 worker processes;" in done.stderr
    check_batch(out, recordings)


@pytest.mark.parametrize("argv, message", [
    (["--workers", "0"], "--workers must be at least 1, got 0"),
    (["--scheduler", "tcp://h:8786"], "--scheduler needs --engine dask"),
    (["--engine", "spark"], "argument --engine: invalid choice: 'spark'"),
    (["--percentile", "101"], "--percentile must be between 0 and 100, got 101"),
    (["--exclude", "3"], "argument --exclude: expected START:END, got '3'"),
    (["--exclude", "0.5:2"], "--exclude 0.5:2 counts samples without --rate"),
    (["--min-segment", "1"], "--min-segment must be at least 2, got 1"),
    (["SAME"], "OUTPUT_DIR must differ from INPUT_DIR"),
    (["MISSING"], "is not a folder"),
    (["EMPTY"], "holds no .npy or .csv file"),
])
def test_bad_options_end_in_one_line_and_status_2(tool, capsys, tmp_path, argv, message):
    (tmp_path / "in").mkdir()
    np.save(tmp_path / "in" / "x.npy", np.arange(10.0))
    (tmp_path / "empty").mkdir()
    folders = {"SAME": [tmp_path / "in", tmp_path / "in"],
               "MISSING": [tmp_path / "nowhere", tmp_path / "out"],
               "EMPTY": [tmp_path / "empty", tmp_path / "out"]}
    argv = [str(p) for p in folders.get(argv[0], [tmp_path / "in", tmp_path / "out"])] + \
        [a for a in argv if a not in folders]
    with pytest.raises(SystemExit) as info:
        tool.main(argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("many_recordings.py: error: ") and err.count("\n") == 1, err
    assert message in err
    assert not (tmp_path / "out" / "summary.csv").exists()


def test_exclusions_stem_clashes_and_a_fault_inside_the_module(tool, tmp_path, monkeypatch):
    folder = tmp_path / "in"
    folder.mkdir()
    x = np.random.default_rng(4).normal(size=5_000)
    np.save(folder / "x.npy", x)
    np.save(folder / "twin.npy", x)
    (folder / "twin.csv").write_text("1\n2\n")
    out = tmp_path / "out"
    assert tool.main([str(folder), str(out), "--engine", "serial", "--exclude", "100:900",
                      "--exclude", "4500:"]) == 1
    mask = np.ones(x.size, dtype=bool)
    mask[100:900] = mask[4500:] = False
    expected = _vorn_ext.local_baseline_percentile(x, mask, 51, 10.0)
    assert np.load(out / "x.baseline.npy").tobytes() == expected.tobytes()
    rows = summary(out)
    for name in ("twin.csv", "twin.npy"):   # either would overwrite the other's outputs
        assert rows[name]["error"] == "twin.csv, twin.npy share the output name 'twin'; " \
                                      "rename all but one"
    assert not (out / "twin.baseline.npy").exists()

    # A write that fails half-way leaves the old file whole and no temporary behind.
    target = out / "x.baseline.npy"
    old = target.read_bytes()

    def no_disk(fd):
        raise OSError(28, "No space left on device")

    with monkeypatch.context() as patch:
        patch.setattr(tool.os, "fsync", no_disk)
        with pytest.raises(OSError, match="No space left"):
            tool.write_atomically(target, b"new and different")
    assert target.read_bytes() == old
    assert sorted(p.name for p in out.iterdir() if p.name.startswith(".")) == []

    # Only a temporary whose writer has ended on this machine is someone's leftover.
    ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, check=True).stdout.strip()
    host = tool.socket.gethostname()
    elsewhere = ("y" if host.startswith("z") else "z") * len(host)
    kept = {f".x.corrected.npy.{host}.{os.getpid()}.1.tmp", f".x.baseline.npy.{elsewhere}.{ended}.1.tmp",
            f".y.baseline.npy.{host}.{ended}.1.tmp"}
    for name in kept | {f".x.baseline.npy.{host}.{ended}.1.tmp"}:
        (out / name).write_bytes(b"partial")
    tool.remove_orphaned_temporaries(out, ["x"])
    assert {p.name for p in out.iterdir() if p.name.startswith(".")} == kept
    for name in kept:
        (out / name).unlink()

    # A PanicException cannot travel from a worker process; the row carries its text.
    real = tool.usable_mask
    monkeypatch.setattr(tool, "usable_mask", lambda s, r, h: real(s, r, h)[:-1])
    row = tool.process_recording(tool.Job(str(folder / "x.npy"), str(out), "x",
                                          tool.Settings(None, 10.0, 3.0, 10, None, None, ())))
    assert row["status"] == "failed"
    assert row["error"].startswith("internal fault in _vorn_ext: index out of bounds"), row
    import pickle
    assert pickle.loads(pickle.dumps(row)) == row


def test_commands_shown_in_the_readme(cluster, tmp_path):
    """The README's many-recordings commands, run as shown (the scheduler is a local one)."""
    readme = (EXAMPLES.parent / "README.md").read_text()
    section = readme[readme.index("## Processing many signals"):]
    section = section[:section.index("\n## ", 1)]
    commands = [line for block in section.split("```")[1::2] for line in block.splitlines()
                if line.startswith("python examples/many_recordings.py")]
    assert len(commands) >= 2 and any("--engine dask" in c for c in commands)
    for i, command in enumerate(commands):
        here = tmp_path / str(i)
        here.mkdir()
        make_recordings(here / "recordings")
        argv = command.replace("tcp://scheduler:8786", cluster.scheduler_address).split()[2:]
        done = subprocess.run([sys.executable, str(TOOL), *argv], cwd=here, text=True,
                              capture_output=True, timeout=RUN_TIMEOUT)
        assert done.returncode == 1, (command, done.stderr)
        rows = summary(here / "results")
        assert [rows[name]["status"] for name in sorted(rows)] == \
            ["ok", "ok", "failed", "ok", "ok", "failed"], (command, rows)
