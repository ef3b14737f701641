"""Serves wine runs inside the emulated machine.

Runs in a chroot into the host's root (read-only) with the build folder
writable. It unpacks the ready wine prefix onto the guest's tmpfs (making
it, and its archive, on the first boot), keeps one wine server up, then
takes requests from the spool folder that scripts/wine writes on the host:
each request is a folder holding request.json; the run's standard output
and error go to files beside it, a file named "signal" that appears is
delivered to the run as that signal, and status.json ends the request.
"""
import filecmp
import json
import os
import subprocess
import sys
import threading
import time

PREFIX = "/tmp/wine-prefix"
POLL = 0.01
# A guest nobody has used for this long ends itself, whatever the host does.
IDLE_LIMIT = 1800


# wine 10 looks for a display through a runtime folder, and prints an error
# line where none is set: the guest gives it an empty one of its own.
RUNTIME = "/tmp/runtime"


def wine_environment(extra):
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": "/tmp/home", "LANG": "C.UTF-8",
           "XDG_RUNTIME_DIR": RUNTIME, "WINEPREFIX": PREFIX, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    for name, value in extra.items():
        if name.startswith("WINE") and name not in ("WINEPREFIX", "WINESERVER", "WINELOADER"):
            env[name] = value
    return env


def quiet(command, env, timeout):
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def prepare_prefix(state):
    """Unpacks the prefix archive, or makes the prefix and its archive."""
    os.makedirs("/tmp/home", exist_ok=True)
    os.makedirs(RUNTIME, mode=0o700, exist_ok=True)
    archive = os.path.join(state, "wine-prefix-linked.tar")
    env = wine_environment({})
    if os.path.exists(archive):
        subprocess.run(["tar", "-xf", archive, "-C", "/tmp"], check=True)
    else:
        started = time.monotonic()
        quiet(["wineboot", "-i"], env, 900)
        quiet(["wineserver", "-w"], env, 300)
        link_builtin_copies()
        partial = archive + ".partial"
        subprocess.run(["tar", "-cf", partial, "-C", "/tmp", os.path.basename(PREFIX)], check=True)
        os.rename(partial, archive)
        log("wine prefix made in %.0f s" % (time.monotonic() - started))
    # One persistent server: each run then starts in about a second.
    subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def link_builtin_copies():
    """wineboot copies wine's own DLLs and programs into system32: about
    500 MiB that each boot would unpack over 9p. Copies identical to
    wine's files become links to them, which wine loads all the same."""
    system32 = os.path.join(PREFIX, "drive_c", "windows", "system32")
    for library in ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/wine/i386-windows"]:
        if os.path.isdir(library):
            break
    else:
        return
    linked = 0
    for name in os.listdir(system32):
        copy, original = os.path.join(system32, name), os.path.join(library, name)
        if (os.path.isfile(original) and os.path.isfile(copy) and not os.path.islink(copy)
                and os.path.getsize(copy) == os.path.getsize(original) and filecmp.cmp(copy, original, shallow=False)):
            os.remove(copy)
            os.symlink(original, copy)
            linked += 1
    log("%d copies of wine's files linked" % linked)


def log(text):
    print("agent: " + text, flush=True)


def write_atomically(path, data):
    with open(path + ".partial", "w") as f:
        json.dump(data, f)
    os.rename(path + ".partial", path)


def serve(folder):
    with open(os.path.join(folder, "request.json")) as f:
        request = json.load(f)
    status = {"code": 125, "error": ""}
    try:
        with open(os.path.join(folder, "stdout"), "wb") as out, open(os.path.join(folder, "stderr"), "wb") as err:
            process = subprocess.Popen(["wine"] + request["argv"], cwd=request["cwd"],
                                       env=wine_environment(request.get("env", {})),
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            signal_file = os.path.join(folder, "signal")
            while process.poll() is None:
                if os.path.exists(signal_file):
                    with open(signal_file) as f:
                        number = int(f.read().strip() or 0)
                    os.remove(signal_file)
                    if number:
                        process.send_signal(number)
                time.sleep(POLL)
            status["code"] = process.returncode
    except Exception as error:  # reported to the caller, who prints it
        status["error"] = "%s: %s" % (type(error).__name__, error)
    write_atomically(os.path.join(folder, "status.json"), status)


def main():
    build = sys.argv[1]
    state = os.path.join(build, "guest")
    spool = os.path.join(state, "spool")
    log("preparing wine")
    try:
        prepare_prefix(state)
    except Exception as error:
        log("cannot prepare wine: %s" % error)
        return 1
    os.makedirs(spool, exist_ok=True)
    with open(os.path.join(state, "ready.partial"), "w") as f:
        f.write("%d\n" % os.getpid())
    os.rename(os.path.join(state, "ready.partial"), os.path.join(state, "ready"))
    log("ready")
    taken = set()
    last = time.monotonic()
    while time.monotonic() - last < IDLE_LIMIT:
        for name in os.listdir(spool):
            if name.startswith(".") or name in taken:
                continue
            taken.add(name)
            last = time.monotonic()
            threading.Thread(target=serve, args=(os.path.join(spool, name),), daemon=True).start()
        # Forget requests whose folder the caller removed.
        if len(taken) > 64:
            taken &= set(os.listdir(spool))
        time.sleep(POLL)
    log("idle for %d s: stopping" % IDLE_LIMIT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
