"""Makes sure the Windows build can run before the end-to-end tests start.

scripts/wine runs wine here where this machine can start it, else in an
emulated machine that can. Where wine runs here, this prepares the build's
own wine prefix once, before any test runs: a prefix that several wine
processes create at the same moment can leave them hanging. In the
emulated machine the prefix is its own, made on its first boot. Then
symweld.exe -? must print the usage text; if it cannot, this fails with
one line that says why, and with it every test that runs the Windows
build. Nothing here reads wine's output through a pipe, since wine's
background processes keep a pipe open long after the run ended.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

from e2e_support import WINE, windows_tested

USAGE_START = b"\r\nUsage: symweld fas-name obj-name [debug-obj-name]\r\n"
# wine's own programs run as scripts/wine runs wine: Debian 13's wine 10
# aborts whenever TMPDIR is set, and the tests set it for their folders.
HOST_ENV = {name: value for name, value in os.environ.items() if name != "TMPDIR"}


def how_it_ended(code):
    if code is None:
        return "did not end in time"
    if code < 0:
        try:
            return "was killed by " + signal.Signals(-code).name
        except ValueError:
            return "was killed by signal %d" % -code
    return "exited with %d" % code


def last_line(data):
    lines = [line for line in data.decode("latin-1").splitlines() if line.strip()]
    return "; " + lines[-1].strip() if lines else ""


def run_quietly(command, timeout):
    """Runs one of wine's programs; returns None when it ended well, else
    what went wrong, with the last line it wrote to standard error."""
    with tempfile.TemporaryFile() as err:
        try:
            code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                  timeout=timeout, env=HOST_ENV).returncode
        except OSError as error:
            return "%s cannot start: %s" % (command[0], error)
        except subprocess.TimeoutExpired:
            code = None
        err.seek(0)
        return None if code == 0 else "%s %s%s" % (" ".join(command), how_it_ended(code), last_line(err.read()))


def usage_under_wine(exe):
    """Runs symweld.exe -?; returns None when it printed the usage text,
    else what went wrong."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            code = subprocess.run([WINE, exe, "-?"], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=1200).returncode
        except subprocess.TimeoutExpired:
            return "symweld.exe -? did not end within 20 minutes"
        out.seek(0)
        err.seek(0)
        printed, complaint = out.read(), err.read()
    if printed.startswith(USAGE_START):
        return None
    return "symweld.exe -? %s and printed %r%s" % (how_it_ended(code), printed[:60], last_line(complaint))


def prepare_host_prefix(prefix):
    """Makes the prefix once; returns what went wrong, or None."""
    marker = os.path.join(prefix, "symweld-ready")
    if os.path.exists(marker):
        return None
    problem = run_quietly(["wineboot", "-i"], 600) or run_quietly(["wineserver", "-w"], 120)
    if not problem:
        open(marker, "w").close()
    return problem


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else ""
    if not windows_tested():
        print("the Windows build is not tested in this run")
        return 0
    if not os.path.exists(exe):
        print("FAILED: the Windows build %s is missing" % exe)
        return 1
    started = time.monotonic()
    how = subprocess.run([WINE, "--mode"], capture_output=True, text=True).stdout.strip()
    problem = None
    if how == "host":
        problem = prepare_host_prefix(os.environ["WINEPREFIX"])
        # One server for the whole test run, so each run starts quickly
        # (it says so with exit code 2 where one is already running).
        if not problem:
            run_quietly(["wineserver", "-p", "60"], 60)
    problem = problem or usage_under_wine(exe)
    if problem:
        print("FAILED: wine cannot run the Windows build here (%s): %s" % (how, problem))
        return 1
    where = "here" if how == "host" else "in the emulated machine (scripts/wine)"
    print("wine runs symweld.exe %s; ready after %.1f s" % (where, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
