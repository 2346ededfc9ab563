"""The demo's command line: argument and file errors, reading files, and runs that write a PNG."""

import doctest
import importlib.util
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"
README = DEMO.parent.parent / "README.md"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("vorn_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    sys.path.insert(0, str(DEMO.parent))  # as when run: its helpers sit beside it
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.path.remove(str(DEMO.parent))
        del sys.modules[spec.name]


def write(path: pathlib.Path, content) -> pathlib.Path:
    if isinstance(content, np.ndarray):
        np.save(path, content)
    elif isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return path


def usage_error(demo, capsys, argv):
    with pytest.raises(SystemExit) as info:
        demo.main(argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert "demo.py: error:" in err
    return err


@pytest.mark.parametrize("argv, message", [
    (["--percentile", "150"], "--percentile must be between 0 and 100, got 150"),
    (["--percentile", "nan"], "--percentile must be between 0 and 100"),
    (["--percentile", "ten"], "argument --percentile: invalid float value: 'ten'"),
    (["--penalty", "-1"], "--penalty must be a finite number >= 0, got -1"),
    (["--penalty", "inf"], "--penalty must be a finite number >= 0"),
    (["--min-segment", "1"], "--min-segment must be at least 2, got 1"),
    (["--pelt-samples", "5"], "--pelt-samples must be between 10 and 50,000, got 5"),
    (["--pelt-samples", "100000"], "--pelt-samples must be between 10 and 50,000"),
    (["--window", "1"], "--window must be at least 2, got 1"),
    (["--window", "2.5"], "argument --window: invalid int value: '2.5'"),
    (["--rate", "0"], "--rate must be a positive number, got 0.0"),
    (["--duration", "-3"], "--duration must be between 0.01 and 86400 seconds"),
    (["--changes-in", "baseline"], "argument --changes-in: invalid choice: 'baseline'"),
    (["--column", "x"], "--column needs an input file"),
    (["--output", "figure.jpg"], "--output must name a .png file, got 'figure.jpg'"),
    (["--exclude", "5"], "argument --exclude: expected START:END, got '5'"),
    (["--exclude", "a:b"], "argument --exclude: expected numbers in START:END, got 'a:b'"),
    (["--exclude", "9:3"], "argument --exclude: expected 0 <= START < END, got '9:3'"),
    (["--exclude=-1:3"], "argument --exclude: expected 0 <= START < END"),
    (["x.npy", "--exclude", "1.5:3"], "--exclude 1.5:3 counts samples without --rate"),
])
def test_bad_arguments(demo, capsys, argv, message):
    err = usage_error(demo, capsys, argv)
    assert message in err and err.count("\n") == 1, err


@pytest.mark.parametrize("name, content, extra, message", [
    ("missing.npy", None, [], "missing.npy: no such file"),
    ("signal.txt", "1\n2\n", [], "unsupported file type '.txt'; give a .npy or a .csv file"),
    ("empty.csv", "\n\n", [], "empty.csv: contains no samples"),
    ("header_only.csv", "time,value\n", [], "header_only.csv: contains no samples"),
    ("words.csv", "value\n1.0\nabc\n", [], "words.csv, line 3: 'abc' is not a number"),
    ("ragged.csv", "t,v\n0,1\n1\n", [], "ragged.csv, line 3: expected 2 columns, found 1"),
    ("cols.csv", "t,v\n0,1\n", ["--column", "w"], "no column 'w'; the file has 't', 'v'"),
    ("cols2.csv", "0,1\n1,2\n", ["--column", "2"], "no column '2'; the file has 0 to 1"),
    ("binary.csv", b"\xff\xfe\x00\x81", [], "cannot be read as text"),
    ("allnan.csv", "v\nnan\n\n", [], "every sample is NaN"),
    ("image.npy", np.zeros((3, 4)), [], "expected a one-dimensional signal, got shape (3, 4)"),
    ("scalar.npy", np.float64(1.0), [], "expected a one-dimensional signal, got shape ()"),
    ("empty.npy", np.zeros(0), [], "empty.npy: contains no samples"),
    ("text.npy", np.array(["a", "b"]), [], "expected real numbers, got dtype <U1"),
    ("complex.npy", np.zeros(3, complex), [], "expected real numbers, got dtype complex128"),
    ("objects.npy", np.array([1.0, None], dtype=object), [], "not a numeric .npy array"),
    ("garbage.npy", b"not numpy at all", [], "not a numeric .npy array"),
    ("signal.npy", np.zeros(3), ["--column", "v"], "--column applies to .csv files only"),
])
def test_bad_files(demo, capsys, tmp_path, name, content, extra, message):
    path = tmp_path / name
    if content is not None:
        if isinstance(content, np.generic) or (isinstance(content, np.ndarray) and content.dtype == object):
            np.save(path, content, allow_pickle=True)
        else:
            write(path, content)
    assert message in usage_error(demo, capsys, [str(path), *extra])


def test_directory_is_refused(demo, capsys, tmp_path):
    assert "is a directory" in usage_error(demo, capsys, [str(tmp_path)])


def test_csv_columns_headers_and_missing_cells(demo, tmp_path):
    path = write(tmp_path / "trace.csv", "time;raw;dff\n0;1.5;0.1\n1;2.5;\n2;3.5;nan\n3;-4e-1;0.4\n")
    values, described = demo.load_signal(path, None)  # the last column by default
    np.testing.assert_array_equal(values, [0.1, np.nan, np.nan, 0.4])
    assert "column 'dff' of 3" in described

    # R and many loggers write NA: every spelling of a missing cell reads as NaN, and a
    # first row of NA is data, not a header.
    na = write(tmp_path / "na.csv", "NA,1\n2,NaN\nna,nan\n NA ,N/A\n")
    with pytest.raises(demo.InputError, match="line 4: 'N/A' is not a number"):
        demo.load_signal(na, None)
    values, described = demo.load_signal(na, "0")
    np.testing.assert_array_equal(values, [np.nan, 2, np.nan, np.nan])
    assert described.endswith("column 0 of 2")
    np.testing.assert_array_equal(demo.load_signal(path, "raw")[0], [1.5, 2.5, 3.5, -0.4])
    np.testing.assert_array_equal(demo.load_signal(path, "0")[0], [0, 1, 2, 3])

    bare = write(tmp_path / "bare.csv", "\ufeff1\n2\n\n3\n")  # byte-order mark, blank line
    values, described = demo.load_signal(bare, None)
    np.testing.assert_array_equal(values, [1, 2, 3])
    assert described.endswith("column 0")

    column = write(tmp_path / "column.npy", np.arange(4, dtype=np.int32).reshape(4, 1))
    values, _ = demo.load_signal(column, None)
    assert values.dtype == np.float64 and values.flags.c_contiguous
    np.testing.assert_array_equal(values, [0, 1, 2, 3])


def test_run_on_a_file_maps_change_points_back_and_writes_png(demo, capsys, tmp_path):
    pytest.importorskip("matplotlib")
    rng = np.random.default_rng(3)
    signal = rng.normal(0.0, 1.0, 30_000)
    signal[20_000:] += 5.0           # one clear step in level
    signal[rng.choice(30_000, 20, replace=False)] = np.nan
    path = write(tmp_path / "step.npy", signal)
    output = tmp_path / "figures" / "step.png"   # the folder does not exist yet

    code = demo.main([str(path), "--changes-in", "signal", "--pelt-samples", "1000",
                      "--window", "501", "--rate", "100", "--output", str(output)])
    out = capsys.readouterr().out
    assert code == 0
    assert "30,000 samples at 100 Hz" in out and "20 NaN" in out
    assert "window 501 samples" in out and "1 in 30 usable samples (1,000 samples" in out
    # pelt saw every 30th usable sample; the step must come back at its place in
    # the original signal (within one thinning step), not at its index in the thinned one.
    found = out.splitlines()[-2].strip()
    assert found.endswith(" s") and abs(float(found[:-2]) - 200.0) <= 0.3, found
    assert f"figure: {output}" in out
    assert output.read_bytes().startswith(PNG_MAGIC)


@pytest.mark.parametrize("ranges, rate, excluded", [
    (["100:250"], None, 150),
    (["100:250", "200:300"], None, 200),        # overlapping
    (["1950:"], None, 50),                      # to the end
    ([":10"], 50.0, 500),                       # seconds with --rate
    (["0.5:1.5"], 100.0, 100),
])
def test_exclude_masks_the_stretch(demo, capsys, tmp_path, ranges, rate, excluded):
    signal = np.random.default_rng(5).normal(size=2000)
    signal[500:900] += 40.0
    path = write(tmp_path / "s.npy", signal)
    argv = [str(path), "--no-plot", "--window", "51"] + [f"--exclude={r}" for r in ranges]
    assert demo.main(argv + (["--rate", str(rate)] if rate else [])) == 0
    assert f"{excluded:,} masked out" in capsys.readouterr().out

    mask = demo.usable_mask(signal, [demo.exclude_range(r) for r in ranges], rate)
    position = np.arange(signal.size) / (rate or 1.0)
    inside = np.zeros(signal.size, dtype=bool)
    for r in ranges:
        lo, _, hi = r.partition(":")
        inside |= (position >= float(lo or 0)) & (position < float(hi or "inf"))
    np.testing.assert_array_equal(mask, ~inside)
    assert np.count_nonzero(inside) == excluded


@pytest.mark.parametrize("n", [100, 2000, 4999])
def test_short_inputs_draw_every_sample(demo, n):
    """A range per pixel of single samples has no height: short traces must be lines."""
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    values = np.sin(np.arange(n) / 7.0)
    mask = np.ones(n, dtype=bool)
    mask[10:20] = False
    fig, axis = plt.subplots()
    try:
        demo.draw_trace(axis, values, mask, 1.0, "0.5", "signal")
        (line,) = axis.get_lines()
        y = np.asarray(line.get_ydata(), dtype=float)
        np.testing.assert_array_equal(y[mask], values[mask])
        assert np.isnan(y[10:20]).all()      # the masked stretch is a gap
        assert not axis.collections           # no zero-height band
    finally:
        plt.close(fig)


def test_no_figure_without_matplotlib_or_when_asked(demo, capsys, tmp_path, monkeypatch):
    path = write(tmp_path / "tiny.csv", "\n".join(str(v) for v in np.sin(np.arange(200))))
    output = tmp_path / "never.png"
    assert demo.main([str(path), "--no-plot", "--output", str(output)]) == 0
    assert "\nfigure:" not in capsys.readouterr().out

    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib now fails
    assert demo.main([str(path), "--output", str(output)]) == 0
    assert "figure: not written, matplotlib is not installed" in capsys.readouterr().out
    assert not output.exists()


def test_unwritable_figure_path_is_an_error(demo, capsys, tmp_path):
    pytest.importorskip("matplotlib")
    blocker = write(tmp_path / "file", "")
    path = write(tmp_path / "tiny.npy", np.arange(100.0))
    assert demo.main([str(path), "--output", str(blocker / "out.png")]) == 1
    assert "demo.py: error: cannot write the figure to" in capsys.readouterr().err


def test_built_in_recording_from_the_command_line(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "demo.png"
    run = subprocess.run([sys.executable, str(DEMO), "--duration", "20", "--output", str(output)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "input: built-in synthetic recording (seed 7)" in run.stdout
    assert "20,000 samples at 1000 Hz" in run.stdout and "float32" in run.stdout
    assert f"figure: {output}" in run.stdout
    assert output.read_bytes().startswith(PNG_MAGIC)


def readme_python_blocks() -> list[tuple[int, str]]:
    text = README.read_text()
    return [(text.count("\n", 0, m.start()) + 2, m.group(1))
            for m in re.finditer(r"```python\n(.*?)```", text, re.S)]


def test_readme_python_runs_as_shown(demo):
    """Every Python block of the README, in order and in one namespace, as a reader would
    paste them: doctest blocks must print what they show, the others must run."""
    import numpy
    import _vorn_ext

    blocks = readme_python_blocks()
    assert len(blocks) >= 5
    namespace = {"np": numpy, "_vorn_ext": _vorn_ext, "__name__": "readme"}
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for line, code in blocks:
        if code.lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(code, namespace, "README", str(README), line)
            result = runner.run(test, clear_globs=False)
            assert result.failed == 0, f"README.md line {line}: {result.failed} examples differ"
            namespace.update(test.globs)  # the doctest ran on a copy
        else:
            exec(compile(code, f"README.md line {line}", "exec"), namespace)

    # The README's thinning is the one the demo and the batch tool run.
    readme_thinning = namespace["thinned_change_points"]
    rng = np.random.default_rng(9)
    for n, most in [(300, 5000), (20_001, 5000), (50_000, 1234), (12_345, 10)]:
        x = rng.normal(size=n).cumsum() * 0.05 + rng.normal(size=n)
        x[rng.choice(n, n // 100, replace=False)] = rng.choice([np.nan, np.inf], n // 100)
        usable = rng.random(n) > 0.1
        ours = demo.thinned_change_points(x, usable, 2.0, 5, most)
        theirs = readme_thinning(x, usable, 2.0, 5, most)
        np.testing.assert_array_equal(ours[0], theirs[0])
        assert ours[1] == theirs[1], (n, most)
    assert namespace["positions"].size <= 5000 and namespace["changes"] == \
        demo.thinned_change_points(namespace["corrected"], namespace["usable"], 3.0, 10)[1]
