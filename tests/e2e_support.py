"""Running the built tools from the end-to-end tests."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

NATIVE = os.environ.get("SYMWELD", "")
# With a memcheck build, every native run goes through valgrind.
VALGRIND = os.environ.get("SYMWELD_VALGRIND_TOOL", "")
WINDOWS = os.environ.get("SYMWELD_EXE", "")

USAGE = (b"\r\nUsage: symweld fas-name obj-name [debug-obj-name]\r\n"
         b"Generate an object file with debug info from a Fasm '.fas' file and its '.obj' file.\r\n"
         b"Example: symweld hello.fas hello.obj hello_d.obj\r\n\r\n"
         b"If debug-obj-name is not specified, the source obj file is overridden by \r\n"
         b"the debug version.\r\n\r\n")


def message(text):
    return b"symweld: " + text.encode() + b"\r\n"


def find_tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    return None


class Tool:
    """One build of symweld: the native binary or symweld.exe under wine."""

    def __init__(self, path, wine):
        self.path = path
        self.wine = wine

    def run(self, args, cwd=None, **kw):
        if self.wine:
            return run_without_pipes(["wine", self.path] + list(args), cwd, **kw)
        if VALGRIND:
            command = ["valgrind", "-q", "--error-exitcode=99", "--track-origins=yes", self.path]
        else:
            command = [self.path]
        return subprocess.run(command + list(args), cwd=cwd, capture_output=True, timeout=300, **kw)


def run_without_pipes(command, cwd, **kw):
    """Runs a command with its output caught in files. Wine's background
    processes inherit the output handles and would keep a pipe open long
    after the run ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, cwd=cwd, stdout=out, stderr=err,
                                timeout=300, **kw)
        out.seek(0)
        err.seek(0)
        result.stdout = out.read()
        result.stderr = err.read()
        return result


def wine_prefix_ready():
    prefix = os.environ.get("WINEPREFIX", "")
    return bool(prefix) and os.path.exists(os.path.join(prefix, "symweld-ready"))


_wine_server_started = False


def start_wine_server():
    """Keeps one wine server alive for a while, so each run starts quickly."""
    global _wine_server_started
    if not _wine_server_started:
        subprocess.run(["wineserver", "-p", "30"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        _wine_server_started = True


def tools():
    """The builds to test: the native one always, the Windows one when given
    and wine works on this machine."""
    result = [("native", Tool(os.path.abspath(NATIVE), False))]
    if WINDOWS and os.path.exists(WINDOWS) and shutil.which("wine") and not VALGRIND:
        if wine_prefix_ready():
            start_wine_server()
            result.append(("wine", Tool(os.path.abspath(WINDOWS), True)))
        else:
            warn_once("WARNING: wine cannot run here; symweld.exe is not tested")
    return result


_warned = False


def warn_once(text):
    global _warned
    if not _warned:
        _warned = True
        print(text, file=sys.stderr)


class BothBuilds(unittest.TestCase):
    """Runs each test method once per build through self.tool."""

    def each_tool(self):
        for name, tool in tools():
            with self.subTest(build=name):
                self.tool = tool
                try:
                    yield name, tool
                except GeneratorExit:
                    return


PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "programs")
READOBJ = find_tool("llvm-readobj-14", "llvm-readobj")
LLD_LINK = find_tool("lld-link-14", "lld-link")
PDBUTIL = find_tool("llvm-pdbutil-14", "llvm-pdbutil")
DLLTOOL = find_tool("llvm-dlltool-14", "llvm-dlltool")


def copy_programs(folder):
    for name in os.listdir(PROGRAMS):
        shutil.copy(os.path.join(PROGRAMS, name), folder)


def assemble(folder, name, source=None):
    """Assembles name.asm in the folder into name.obj and name.fas."""
    if source is not None:
        with open(os.path.join(folder, name + ".asm"), "w") as f:
            f.write(source)
    result = subprocess.run(["fasm", "-m", "262144", name + ".asm", name + ".obj", "-s", name + ".fas"],
                            cwd=folder, capture_output=True, timeout=600)
    if result.returncode != 0:
        raise RuntimeError(result.stdout.decode() + result.stderr.decode())


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def readobj(folder, obj):
    """llvm-readobj over everything; fails the caller on any complaint."""
    result = subprocess.run([READOBJ, "--codeview", "--sections", "--symbols", "--relocations", obj],
                            cwd=folder, capture_output=True, timeout=600)
    text = result.stdout.decode("latin-1") + result.stderr.decode("latin-1")
    if result.returncode != 0 or "warning" in text.lower() or "error" in text.lower():
        raise AssertionError("llvm-readobj complained:\n" + text[-3000:])
    return text


def kernel32_lib(folder):
    path = os.path.join(folder, "kernel32.def")
    with open(path, "w") as f:
        f.write("LIBRARY KERNEL32.dll\nEXPORTS\nExitProcess@4\n")
    subprocess.run([DLLTOOL, "-m", "i386", "-d", "kernel32.def", "-l", "kernel32.lib", "-k"],
                   cwd=folder, check=True, capture_output=True)
    return "kernel32.lib"


def link(folder, objects, entry, extra=()):
    """Links with lld-link /debug into out.exe and out.pdb; returns the result."""
    command = [LLD_LINK, "/debug", "/safeseh:no", "/subsystem:console", "/entry:" + entry,
               "/out:out.exe", "/pdb:out.pdb", "/nodefaultlib"] + list(objects) + list(extra)
    return subprocess.run(command, cwd=folder, capture_output=True, timeout=600)


def pdb_dump(folder, *what):
    result = subprocess.run([PDBUTIL, "dump"] + list(what) + ["out.pdb"], cwd=folder,
                            capture_output=True, timeout=600, check=True)
    return result.stdout.decode("latin-1")


def pdb_lines(folder):
    """The PDB's line table of the first module: (file, section, offset, line) rows."""
    rows = []
    text = pdb_dump(folder, "-l")
    current_file = None
    section = None
    module = 0
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("Mod "):
            module += 1
            continue
        if module != 1 or not stripped:
            continue
        if "(MD5:" in stripped or stripped.startswith("(unknown"):
            current_file = os.path.basename(stripped.split(" (")[0])
        elif "line/addr entries" in stripped:
            section = int(stripped.split(":")[0], 16)
        else:
            parts = stripped.split()
            for k in range(0, len(parts) - 1, 2):
                rows.append((current_file, section, int(parts[k + 1], 16), int(parts[k])))
    return rows


def pdb_symbols(folder):
    """Label and data records of the first module: name -> (kind, section, offset, type)."""
    found = {}
    lines = pdb_dump(folder, "-symbols").splitlines()
    module = 0
    for i, line in enumerate(lines):
        if line.strip().startswith("Mod "):
            module += 1
        if module != 1:
            continue
        if "S_LABEL32" in line:
            name = line.split("`")[1]
            addr = line.split("addr = ")[1].rstrip(")")
            sec, off = addr.split(":")
            found[name] = ("label", int(sec), int(off), None)
        elif "S_LDATA32" in line:
            name = line.split("`")[1]
            detail = lines[i + 1]
            kind = detail.split("type = ")[1].split()[0]
            sec, off = detail.split("addr = ")[1].split(":")
            found[name] = ("data", int(sec), int(off), int(kind, 16))
    return found


def source_line(folder, file_name, text):
    """1-based number of the first line of the file that holds the text."""
    with open(os.path.join(folder, file_name)) as f:
        for number, line in enumerate(f, 1):
            if text in line:
                return number
    raise LookupError(text)
