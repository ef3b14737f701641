"""Running the built tools from the end-to-end tests."""
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

NATIVE = os.environ.get("SYMWELD", "")
# With a memcheck build, every native run goes through valgrind.
VALGRIND = os.environ.get("SYMWELD_VALGRIND_TOOL", "")
WINDOWS = os.environ.get("SYMWELD_EXE", "")

USAGE_LINES = [b"", b"Usage: symweld fas-name obj-name [debug-obj-name]",
               b"Generate an object file with debug info from a Fasm '.fas' file and its '.obj' file.",
               b"Example: symweld hello.fas hello.obj hello_d.obj", b"",
               b"If debug-obj-name is not specified, the source obj file is overridden by ",
               b"the debug version.", b""]
# The Linux build's usage text goes on with its long options.
LINUX_USAGE_LINES = [b"Options:",
                     b"  --procedures    also write procedure records and array types for debuggers",
                     b"  --depfile=FILE  also write a dependency file for make and Ninja", b""]
VERSION = os.environ.get("SYMWELD_VERSION", "")


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
        # Windows console lines end in CR LF, Linux ones in LF.
        self.eol = b"\r\n" if wine else b"\n"

    def usage(self):
        lines = USAGE_LINES if self.wine else USAGE_LINES + LINUX_USAGE_LINES
        return b"".join(line + self.eol for line in lines)

    def message(self, text):
        return b"symweld: " + text.encode() + self.eol

    def run(self, args, cwd=None, **kw):
        if self.wine:
            return run_without_pipes(self.command(args), cwd, **kw)
        return subprocess.run(self.command(args), cwd=cwd, capture_output=True, timeout=300, **kw)

    def command(self, args):
        """The command line that runs this build with the arguments."""
        if self.wine:
            return [WINE, self.path] + list(args)
        if VALGRIND:
            return ["valgrind", "-q", "--error-exitcode=99", "--track-origins=yes", self.path] + list(args)
        return [self.path] + list(args)


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


def windows_tested():
    """Whether the Windows build runs in these tests: always when it is
    given, unless SYMWELD_SKIP_WINDOWS opts out (said once, loudly)."""
    if not WINDOWS or VALGRIND:
        return False
    if os.environ.get("SYMWELD_SKIP_WINDOWS"):
        warn_once("WARNING: SYMWELD_SKIP_WINDOWS is set; symweld.exe is not tested")
        return False
    return True


def tools():
    """The builds to test: the native one, and the Windows one under wine
    whenever it is given. SYMWELD_BUILDS=windows (or native) keeps one."""
    wanted = os.environ.get("SYMWELD_BUILDS", "native,windows").split(",")
    result = []
    if "native" in wanted:
        result.append(("native", Tool(os.path.abspath(NATIVE), False)))
    if "windows" in wanted and windows_tested():
        result.append(("wine", Tool(os.path.abspath(WINDOWS), True)))
    return result


_warned = False


def warn_once(text):
    global _warned
    if not _warned:
        _warned = True
        print(text, file=sys.stderr)


def shard_of(tests):
    """The share of a suite's tests that SYMWELD_SHARD ("k/n") names: every
    n-th of them in name order, so that one long suite runs as n tests side
    by side. Test classes with a `ctest_entry` of their own are run only by
    a SYMWELD_SHARD of that name."""
    shard = os.environ.get("SYMWELD_SHARD", "")
    if not shard:
        return tests
    flat = []

    def flatten(suite):
        for test in suite:
            if isinstance(test, unittest.TestSuite):
                flatten(test)
            else:
                flat.append(test)
    flatten(tests)
    if "/" not in shard:
        return unittest.TestSuite(t for t in flat if getattr(t, "ctest_entry", None) == shard)
    k, n = (int(x) for x in shard.split("/"))
    shared = [t for t in flat if getattr(t, "ctest_entry", None) is None]
    return unittest.TestSuite(sorted(shared, key=lambda t: t.id())[k::n])


class BothBuilds(unittest.TestCase):
    """Runs each test method once per build through self.tool."""

    def native(self):
        """The native build, for cases that only it has; skipped in a run of
        the Windows build alone."""
        for name, tool in tools():
            if not tool.wine:
                return tool
        self.skipTest("a case of the native build only")

    def windows(self):
        """The Windows build, for cases that only it has."""
        for name, tool in tools():
            if tool.wine:
                return tool
        self.skipTest("a case of the Windows build only")

    def each_tool(self):
        for name, tool in tools():
            with self.subTest(build=name):
                self.tool = tool
                try:
                    yield name, tool
                except GeneratorExit:
                    return


PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "programs")
SCRIPTS = os.path.join(os.path.dirname(PROGRAMS), "..", "scripts")
FASM = os.path.join(SCRIPTS, "fasm")
# Runs wine where this machine can, else in an emulated machine that can.
WINE = os.path.abspath(os.path.join(SCRIPTS, "wine"))
_wine_mode = []


def wine_in_guest():
    """Whether scripts/wine runs wine in the emulated machine, whose
    processes this machine cannot see."""
    if not _wine_mode:
        result = subprocess.run([WINE, "--mode"], capture_output=True, text=True)
        _wine_mode.append(result.stdout.strip())
    return _wine_mode[0] == "guest"


def llvm_tool(name, which="oldest"):
    """The tool of the oldest (the release's own) or newest LLVM installed."""
    result = subprocess.run([os.path.join(SCRIPTS, "llvm-tool"), name, which], capture_output=True, text=True)
    return result.stdout.strip() or None


READOBJ = llvm_tool("llvm-readobj")
LLD_LINK = llvm_tool("lld-link")
PDBUTIL = llvm_tool("llvm-pdbutil")
DLLTOOL = llvm_tool("llvm-dlltool")
# The newest LLVM must accept every output as well; lldb reads its PDB.
READOBJ_NEW = llvm_tool("llvm-readobj", "newest")
LLD_LINK_NEW = llvm_tool("lld-link", "newest")
PDBUTIL_NEW = llvm_tool("llvm-pdbutil", "newest")
LLDB = llvm_tool("lldb", "newest")


def copy_programs(folder):
    for name in os.listdir(PROGRAMS):
        shutil.copy(os.path.join(PROGRAMS, name), folder)


def assemble(folder, name, source=None):
    """Assembles name.asm in the folder into name.obj and name.fas."""
    if source is not None:
        with open(os.path.join(folder, name + ".asm"), "w") as f:
            f.write(source)
    result = subprocess.run([FASM, "-m", "262144", name + ".asm", name + ".obj", "-s", name + ".fas"],
                            cwd=folder, capture_output=True, timeout=600)
    if result.returncode != 0:
        raise RuntimeError(result.stdout.decode() + result.stderr.decode())


def backslash_program(folder):
    """A program written for Windows in folder/app, assembled there: its
    includes are named with backslashes, one holds macros only, one holds
    code and includes another, one lies in the folder above (..\\).
    Returns the sources fasm read, as paths below the folder."""
    sources = {"app/app.asm": "format MS COFF\ninclude 'lib\\macros.inc'\ninclude 'lib\\code.inc'\n"
                              "include '..\\shared.inc'\nsection '.text' code readable executable\n"
                              "public start\nstart: nothing\n call helper\n call shared\n ret\n",
               "app/lib/macros.inc": "macro nothing { nop }\n",
               "app/lib/code.inc": "include 'inner\\deep.inc'\nhelper: mov eax, DEEP\n ret\n",
               "app/lib/inner/deep.inc": "DEEP = 7\ndeep_code: ret\n",
               "shared.inc": "shared: xor eax, eax\n ret\n"}
    for name, text in sources.items():
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    assemble(os.path.join(folder, "app"), "app")
    return sorted(sources)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def readobj(folder, obj):
    """llvm-readobj of the oldest and the newest LLVM over everything; fails the caller on any
    complaint of either. Returns what the oldest printed."""
    texts = []
    for tool in [READOBJ, READOBJ_NEW]:
        if not tool:
            continue
        result = subprocess.run([tool, "--codeview", "--sections", "--symbols", "--relocations", obj],
                                cwd=folder, capture_output=True, timeout=600)
        text = result.stdout.decode("latin-1") + result.stderr.decode("latin-1")
        if result.returncode != 0 or "warning" in text.lower() or "error" in text.lower():
            raise AssertionError(os.path.basename(tool) + " complained:\n" + text[-3000:])
        texts.append(text)
    return texts[0]


def kernel32_lib(folder):
    path = os.path.join(folder, "kernel32.def")
    with open(path, "w") as f:
        f.write("LIBRARY KERNEL32.dll\nEXPORTS\nExitProcess@4\n")
    subprocess.run([DLLTOOL, "-m", "i386", "-d", "kernel32.def", "-l", "kernel32.lib", "-k"],
                   cwd=folder, check=True, capture_output=True)
    return "kernel32.lib"


def link(folder, objects, entry, extra=()):
    """Links with the oldest lld-link /debug into out.exe and out.pdb, and with
    the newest lld-link into out_new.exe and out_new.pdb; returns the first result that
    failed, else the result of the oldest."""
    results = []
    for tool, out in [(LLD_LINK, "out"), (LLD_LINK_NEW, "out_new")]:
        if not tool:
            continue
        command = [tool, "/debug", "/safeseh:no", "/subsystem:console", "/entry:" + entry,
                   "/out:%s.exe" % out, "/pdb:%s.pdb" % out, "/nodefaultlib"] + list(objects) + list(extra)
        results.append(subprocess.run(command, cwd=folder, capture_output=True, timeout=600))
    failed = [r for r in results if r.returncode != 0]
    return failed[0] if failed else results[0]


def pdb_dump(folder, *what, pdb="out.pdb", tool=None):
    result = subprocess.run([tool or PDBUTIL, "dump"] + list(what) + [pdb], cwd=folder,
                            capture_output=True, timeout=600, check=True)
    return result.stdout.decode("latin-1")


def pdb_lines(folder, pdb="out.pdb", tool=None):
    """The PDB's line table of the first module: (file, section, offset, line) rows."""
    rows = []
    text = pdb_dump(folder, "-l", pdb=pdb, tool=tool)
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


def pdb_records(folder, pdb="out.pdb", tool=None):
    """The procedure, label and data records of the first module in their
    order, as (kind, name, section, offset, detail, depth): detail is a
    procedure's code size or a data record's type; depth counts the
    procedures open around the record, which S_END closes."""
    records = []
    lines = pdb_dump(folder, "-symbols", pdb=pdb, tool=tool).splitlines()
    module = 0
    depth = 0
    for i, line in enumerate(lines):
        if line.strip().startswith("Mod "):
            module += 1
        if module != 1:
            continue
        if "S_LABEL32" in line:
            sec, off = line.split("addr = ")[1].rstrip(")").split(":")
            records.append(("label", line.split("`")[1], int(sec), int(off), None, depth))
        elif "S_LDATA32" in line:
            detail = lines[i + 1]
            sec, off = detail.split("addr = ")[1].split(":")
            records.append(("data", line.split("`")[1], int(sec), int(off), int(detail.split("type = ")[1].split()[0], 16),
                            depth))
        elif "S_GPROC32" in line or "S_LPROC32" in line:
            detail = lines[i + 1]
            sec, off = detail.split("addr = ")[1].split(",")[0].split(":")
            kind = "gproc" if "S_GPROC32" in line else "lproc"
            records.append((kind, line.split("`")[1], int(sec), int(off), int(detail.split("code size = ")[1]), depth))
            depth += 1
        elif "S_END" in line:
            records.append(("end", None, None, None, None, depth))
            depth -= 1
    return records


def pdb_symbols(folder, pdb="out.pdb", tool=None):
    """Label and data records of the first module: name -> (kind, section, offset, type)."""
    return {name: (kind, sec, off, detail if kind == "data" else None)
            for kind, name, sec, off, detail, depth in pdb_records(folder, pdb, tool) if kind in ("label", "data")}


def pdb_procedures(folder, pdb="out.pdb", tool=None):
    """Procedure records of the first module: name -> (kind, section, offset, code size)."""
    return {name: (kind, sec, off, detail)
            for kind, name, sec, off, detail, depth in pdb_records(folder, pdb, tool) if kind in ("gproc", "lproc")}


def pdb_arrays(folder, pdb="out.pdb", tool=None):
    """The PDB's LF_ARRAY types: type index -> (element type, size in bytes)."""
    arrays = {}
    lines = pdb_dump(folder, "-types", pdb=pdb, tool=tool).splitlines()
    for i, line in enumerate(lines):
        if "| LF_ARRAY" in line:
            found = re.search(r"size: (\d+), index type: \S+ \(.*\), element type: (0x[0-9A-Fa-f]+)", lines[i + 1])
            arrays[int(line.split("|")[0], 16)] = (int(found.group(2), 16), int(found.group(1)))
    return arrays


def pdb_publics(folder, pdb="out.pdb", tool=None):
    """(section, offset) -> names of the PDB's public symbols there."""
    publics = {}
    lines = pdb_dump(folder, "-publics", pdb=pdb, tool=tool).splitlines()
    for i, line in enumerate(lines):
        if "S_PUB32" in line:
            sec, off = lines[i + 1].split("addr = ")[1].split(":")
            publics.setdefault((int(sec), int(off)), set()).add(line.split("`")[1])
    return publics


def source_line(folder, file_name, text):
    """1-based number of the first line of the file that holds the text."""
    with open(os.path.join(folder, file_name)) as f:
        for number, line in enumerate(f, 1):
            if text in line:
                return number
    raise LookupError(text)


def image_section_addresses(path):
    """Section number -> virtual address of a linked PE image."""
    data = read_bytes(path)
    header = struct.unpack_from("<I", data, 0x3C)[0] + 4
    count, optional_size = struct.unpack_from("<H", data, header + 2)[0], struct.unpack_from("<H", data, header + 16)[0]
    image_base = struct.unpack_from("<I", data, header + 20 + 28)[0]
    table = header + 20 + optional_size
    return {n + 1: image_base + struct.unpack_from("<I", data, table + 40 * n + 12)[0] for n in range(count)}


# How lldb names the CodeView types that data labels get.
LLDB_TYPE_NAMES = {0x20: "unsigned char", 0x21: "unsigned short", 0x75: "unsigned int",
                   0x23: "unsigned long long"}
TYPE_SIZES = {0x20: 1, 0x21: 2, 0x75: 4, 0x23: 8}


def lldb_type_name(type_index, arrays):
    """How lldb names a data label's type: a basic type, or an array of one."""
    if type_index in arrays:
        element, size = arrays[type_index]
        return "%s[%d]" % (LLDB_TYPE_NAMES.get(element, "?"), size // TYPE_SIZES.get(element, 1))
    return LLDB_TYPE_NAMES.get(type_index, "?")


def lldb_output(folder, commands):
    """What the newest lldb prints for the commands, run on out_new.exe."""
    script = os.path.join(folder, "lldb-commands")
    with open(script, "w") as f:
        f.write("\n".join(commands) + "\n")
    result = subprocess.run([LLDB, "--no-lldbinit", "--batch", "-s", script, "out_new.exe"], cwd=folder,
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    return result.stdout.decode("latin-1")


def lldb_disagreements(folder):
    """Asks the newest lldb about out_new.exe and its PDB: every line of the line table
    as a breakpoint by file and line, the line of every row's address, and
    every data label's value and type, and for every procedure the function
    that holds its last byte (its name or a public name of its address, and
    its range). Returns what lldb got wrong, as text lines; empty when it
    agrees with the PDB."""
    if not LLDB or not PDBUTIL_NEW:
        return []
    rows = pdb_lines(folder, "out_new.pdb", PDBUTIL_NEW)
    symbols = pdb_symbols(folder, "out_new.pdb", PDBUTIL_NEW)
    bases = image_section_addresses(os.path.join(folder, "out_new.exe"))
    addresses = {}
    for file, section, offset, line in rows:
        addresses.setdefault((file, line), set()).add(bases[section] + offset)
    wanted = sorted(addresses)
    probes = rows
    procedures = pdb_procedures(folder, "out_new.pdb", PDBUTIL_NEW)
    # Data in a procedure's scope is that procedure's static, which
    # `target variable` does not look for.
    nested = {name for kind, name, _, _, _, depth in pdb_records(folder, "out_new.pdb", PDBUTIL_NEW) if depth}
    data = sorted(name for name, s in symbols.items() if s[0] == "data" and name not in nested)
    arrays = pdb_arrays(folder, "out_new.pdb", PDBUTIL_NEW) if procedures or any(
        symbols[name][3] >= 0x1000 for name in data) else {}
    publics = pdb_publics(folder, "out_new.pdb", PDBUTIL_NEW) if procedures else {}
    # lldb moves a breakpoint at a function's first line past its prologue
    # (its first line); assembly has none.
    commands = ["settings set target.skip-prologue false"] if procedures else []
    commands += ["breakpoint set -f %s -l %d" % key for key in wanted]
    commands.append("breakpoint list")
    commands += ["image lookup -v -a 0x%x" % (bases[section] + offset) for _, section, offset, _ in probes]
    commands += ["target variable %s" % name for name in data]
    named = sorted(procedures)
    commands += ["image lookup -v -a 0x%x" % (bases[procedures[name][1]] + procedures[name][2] + procedures[name][3] - 1)
                 for name in named]
    text = lldb_output(folder, commands)
    wrong = []
    listing = text.split("(lldb) breakpoint list")[1].split("(lldb) image lookup")[0]
    for number, key in enumerate(wanted, 1):
        block = listing.split("\n%d: file = " % number)[1].split("\n%d: file = " % (number + 1))[0]
        found = {int(a, 16) for a in re.findall(r"address = \S+\[(0x[0-9a-f]+)\]", block)}
        if not found or not found <= addresses[key]:
            wrong.append("breakpoint %s:%d -> %s, table %s" % (key + (sorted(map(hex, found)), sorted(map(hex, addresses[key])))))
    lookups = text.split("(lldb) image lookup -v -a ")[1:]
    for name, answer in zip(named, lookups[len(probes):]):
        kind, section, offset, size = procedures[name]
        start = bases[section] + offset
        function = re.search(r'Function: id = \{\S+\}, name = "([^"]*)", range = \[(0x[0-9a-f]+)-(0x[0-9a-f]+)\)', answer)
        names = {name} | publics.get((section, offset), set())
        if not function or function.group(1) not in names or \
                (int(function.group(2), 16), int(function.group(3), 16)) != (start, start + size):
            wrong.append("procedure %s [0x%x-0x%x) -> %s" % (name, start, start + size, function and function.group(0)))
    for (file, section, offset, line), answer in zip(probes, lookups):
        entry = re.search(r"LineEntry: \[[^)]*\): (.*):(\d+)", answer)
        if not entry or (os.path.basename(entry.group(1)), int(entry.group(2))) != (file, line):
            wrong.append("lookup %d:%x -> %s, table %s:%d" % (section, offset, entry and entry.group(0), file, line))
    for name in data:
        want = "(%s) %s = " % (lldb_type_name(symbols[name][3], arrays), name)
        if want not in text:
            wrong.append("target variable %s: no %r" % (name, want))
    return wrong


class FileState(tuple):
    """What a user would miss of a file: its bytes, permission bits (setuid,
    setgid and sticky included), owner, group, POSIX ACL and user.*
    attributes."""
    __slots__ = ()

    def __new__(cls, content, mode, uid, gid, attributes):
        return tuple.__new__(cls, (content, mode, uid, gid, tuple(sorted(attributes.items()))))

    content = property(lambda self: self[0])
    mode = property(lambda self: self[1])
    owner = property(lambda self: self[2:4])
    attributes = property(lambda self: dict(self[4]))

    @staticmethod
    def of(path):
        """The state of the file at the path (links followed); None where
        there is none."""
        try:
            info = os.stat(path)
            content = read_bytes(path)
        except FileNotFoundError:
            return None
        kept = {}
        try:
            names = os.listxattr(path)
        except OSError:
            names = []  # a filesystem without extended attributes
        for name in names:
            if name.startswith("user.") or name == "system.posix_acl_access":
                kept[name] = os.getxattr(path, name)
        return FileState(content, stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid, kept)

    def differences(self, other):
        """How another state (None: no file) differs from this one, in words."""
        if other is None:
            return ["missing"]
        said = []
        if self.content != other.content:
            said.append("other bytes")
        if self.mode != other.mode:
            said.append("mode %04o, not %04o" % (other.mode, self.mode))
        if self.owner != other.owner:
            said.append("owner %d:%d, not %d:%d" % (other.owner + self.owner))
        mine, theirs = self.attributes, other.attributes
        for name in sorted(set(mine) | set(theirs)):
            if name not in theirs:
                said.append("no " + name)
            elif mine.get(name) != theirs[name]:
                said.append(name + " differs" if name in mine else "new " + name)
        return said


def pdb_source_paths(folder, pdb="out.pdb", tool=None):
    """File name -> the full path under which the PDB's line table of the
    first module names it (the linker makes names absolute)."""
    paths = {}
    module = 0
    for line in pdb_dump(folder, "-l", pdb=pdb, tool=tool).splitlines():
        stripped = line.strip()
        if stripped.startswith("Mod "):
            module += 1
        elif module == 1 and "(MD5:" in stripped:
            path = stripped.split(" (MD5:")[0]
            paths[os.path.basename(path)] = path
    return paths


def line_at(rows, bases, address):
    """(file, line) that the line table gives for an address of the linked
    image: the row of the address's section with the greatest offset at or
    below it; None outside every row."""
    sections = [s for s, base in bases.items() if base <= address]
    if not sections:
        return None
    section = max(sections, key=lambda s: bases[s])
    offset = address - bases[section]
    found = [(row_offset, file, line) for file, row_section, row_offset, line in rows
             if row_section == section and row_offset <= offset]
    return max(found)[1:] if found else None


def run_measured(command, cwd, bound=None):
    """Runs a command with its output caught in files (see
    run_without_pipes); returns (exit code, output, seconds). A run that
    outlasts the bound is asked to end (scripts/wine passes SIGTERM on, so
    nothing goes on running in an emulated machine) and fails the caller."""
    with tempfile.TemporaryFile() as out:
        started = time.monotonic()
        process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        try:
            code = process.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            process.terminate()
            process.wait()
            out.seek(0)
            raise AssertionError("%s took more than %.0f s:\n%s" % (" ".join(command), bound,
                                                                      out.read().decode("latin-1")[-3000:]))
        elapsed = time.monotonic() - started
        out.seek(0)
        return code, out.read().decode("latin-1"), elapsed


WINEDBG_MARK = "winedbg-output-of-command"


def winedbg_session(folder, program, commands, bound):
    """Runs winedbg (through scripts/wine) on the program with the commands
    and returns, for each command, the lines it printed. An echo after each
    command tells the outputs apart."""
    script = os.path.join(folder, "winedbg-commands")
    with open(script, "w") as f:
        for number, command in enumerate(commands):
            f.write("echo %s %d\n%s\n" % (WINEDBG_MARK, number, command))
        f.write("echo %s end\nquit\n" % WINEDBG_MARK)
    code, text, _ = run_measured([WINE, "winedbg", "--file", script, program], folder, bound)
    parts = re.split(r"^%s (\S+)\r?$" % WINEDBG_MARK, text, flags=re.M)
    outputs = {name: body.splitlines() for name, body in zip(parts[1::2], parts[2::2])}
    if code != 0 or "end" not in outputs:
        raise AssertionError("winedbg ended with %d before the last command:\n%s" % (code, text[-3000:]))
    return [outputs.get(str(number), []) for number in range(len(commands))], text


def winedbg_place(text):
    """(file name, line) of winedbg's `[file:line]` in a line, or None."""
    found = re.search(r"\[([^\[\]]+):(\d+)\]", text)
    return (re.split(r"[\\/]", found.group(1))[-1], int(found.group(2))) if found else None


def winedbg_frames(lines):
    """The frames of a backtrace: (address, procedure name, (file, line) or
    None), innermost first."""
    frames = []
    for line in lines:
        found = re.match(r"\s*(?:=>)?\s*\d+\s+(0x[0-9a-fA-F]+)\s+(?:([A-Za-z_][\w.@$?]*)(?=\+0x|\s*\())?", line)
        if found:
            frames.append((int(found.group(1), 16), found.group(2), winedbg_place(line)))
    return frames


def winedbg_shown_line(lines):
    """The source line number winedbg shows after a stop: the number that
    begins its line of source ("25\\t..."), or that ends "name () at
    file:line" where it does not find the source."""
    for line in reversed(lines):
        found = re.match(r"(\d+)\t", line) or re.search(r" at \S.*:(\d+)\s*$", line)
        if found:
            return int(found.group(1))
    return None


def winedbg_bytes(lines):
    """The bytes of a value winedbg prints for an array: a quoted text or a
    list of numbers and characters in braces."""
    text = " ".join(lines)
    listed = re.search(r"\{([^{}]*)\}", text)
    if listed:
        values = bytearray()
        for item in listed.group(1).split(","):
            item = item.strip()
            char = re.match(r"^(?:-?\d+\s*)?'(.)'$", item)
            values.append(ord(char.group(1)) if char else int(item, 0) & 0xFF)
        return bytes(values)
    quoted = re.search(r'"(.*)"', text)
    if quoted:
        return quoted.group(1).encode("latin-1").decode("unicode_escape").encode("latin-1")
    return None
