"""Prepares the wine prefix the end-to-end tests run symweld.exe in.

The prefix is private to the build folder and made once, before any test
runs: a prefix that several wine processes create at the same moment can
leave them hanging. Nothing here reads wine's output through a pipe, since
wine's background processes keep a pipe open long after the run ended.
A machine where wine cannot start at all gets a warning, and the tests then
skip their wine runs instead of failing on the machine.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

USAGE_START = b"\r\nUsage: symweld fas-name obj-name [debug-obj-name]\r\n"


def run_quietly(command, timeout):
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return None


def usage_under_wine(exe):
    """Runs symweld.exe -? and tells whether it printed the usage text."""
    with tempfile.TemporaryFile() as out:
        try:
            subprocess.run(["wine", exe, "-?"], stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, timeout=90)
        except subprocess.TimeoutExpired:
            return False
        out.seek(0)
        return out.read().startswith(USAGE_START)


def prepare(prefix, exe):
    marker = os.path.join(prefix, "symweld-ready")
    if os.path.exists(marker):
        return True
    shutil.rmtree(prefix, ignore_errors=True)
    # A second try only after a quick failure: a machine where wine hangs
    # should not hold the tests up twice.
    for attempt in range(2):
        started = time.monotonic()
        run_quietly(["wineboot", "-i"], 240)
        run_quietly(["wineserver", "-w"], 60)
        if usage_under_wine(exe):
            open(marker, "w").close()
            return True
        run_quietly(["wineserver", "-k"], 30)
        if time.monotonic() - started > 60:
            break
    return False


def main():
    prefix = os.environ.get("WINEPREFIX")
    exe = sys.argv[1]
    if not prefix or not shutil.which("wine") or not os.path.exists(exe):
        print("wine or symweld.exe is missing: the tests run the native build only")
        return 0
    if prepare(prefix, exe):
        print("wine prefix ready:", prefix)
    else:
        print("WARNING: wine could not run symweld.exe here; the tests skip their wine runs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
