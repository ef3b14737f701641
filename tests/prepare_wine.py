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
import subprocess
import sys
import tempfile
import time

from e2e_support import WINE, windows_tested

USAGE_START = b"\r\nUsage: symweld fas-name obj-name [debug-obj-name]\r\n"


def run_quietly(command, timeout):
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except (OSError, subprocess.TimeoutExpired):
        return None


def usage_under_wine(exe):
    """Runs symweld.exe -?; returns None when it printed the usage text,
    else what went wrong."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            subprocess.run([WINE, exe, "-?"], stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=1200)
        except subprocess.TimeoutExpired:
            return "symweld.exe -? did not end within 20 minutes"
        out.seek(0)
        err.seek(0)
        printed, complaint = out.read(), err.read()
    if printed.startswith(USAGE_START):
        return None
    lines = [line for line in complaint.decode("latin-1").splitlines() if line.strip()]
    return "symweld.exe -? printed %r%s" % (printed[:60], "; " + lines[-1] if lines else "")


def prepare_host_prefix(prefix):
    marker = os.path.join(prefix, "symweld-ready")
    if os.path.exists(marker):
        return
    run_quietly(["wineboot", "-i"], 600)
    run_quietly(["wineserver", "-w"], 120)
    open(marker, "w").close()


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
    if how == "host":
        prepare_host_prefix(os.environ["WINEPREFIX"])
        # One server for the whole test run, so each run starts quickly.
        run_quietly(["wineserver", "-p", "60"], 60)
    problem = usage_under_wine(exe)
    if problem:
        print("FAILED: wine cannot run the Windows build here (%s): %s" % (how, problem))
        return 1
    where = "here" if how == "host" else "in the emulated machine (scripts/wine)"
    print("wine runs symweld.exe %s; ready after %.1f s" % (where, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
