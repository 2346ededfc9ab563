"""Helpers for the tests that run Python in child processes and watch their resources."""

import os
import subprocess
import sys
import textwrap

# True when the sanitizer runtimes are loaded into this interpreter
# (scripts/sanitize.sh); memory footprints and timings mean little then.
with open("/proc/self/maps") as _maps:
    SANITIZED = any("libasan" in line for line in _maps)

PROCESSORS = len(os.sched_getaffinity(0))


def run_python(code, *args, timeout=300, env=None):
    """Runs `code` in a fresh interpreter; a hang past `timeout` fails the test."""
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                              capture_output=True, text=True, timeout=timeout,
                              env=None if env is None else {**os.environ, **env})
    except subprocess.TimeoutExpired as expired:
        raise AssertionError(f"the child process hung for {timeout} s: {expired.stdout!r} {expired.stderr!r}") from None


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_script(path, *args, timeout=300):
    """Runs the Python file `path` with `args` in a fresh interpreter, like run_python."""
    code = ("import runpy, sys\n"
            f"sys.argv = [{str(path)!r}, *sys.argv[1:]]\n"
            f"sys.path.insert(0, {str(path.parent)!r})\n"
            f"runpy.run_path({str(path)!r}, run_name='__main__')\n")
    return run_python(code, *args, timeout=timeout)
