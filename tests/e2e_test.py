"""End-to-end cases: the built binaries with real command lines and files."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from e2e_support import VERSION, BothBuilds, assemble, copy_programs, readobj

USAGE = "usage"


class CommandLine(BothBuilds):
    def check(self, args, expected, code, native=None):
        """Runs every build; `expected` lists USAGE and message texts in
        order. `native`, when given, is (expected, code) for the Linux build,
        whose options begin with "-" only."""
        for name, tool in self.each_tool():
            want, want_code = (expected, code) if tool.wine or native is None else native
            out = b"".join(tool.usage() if part == USAGE else part if isinstance(part, bytes)
                           else tool.message(part) for part in want)
            with tempfile.TemporaryDirectory() as folder:
                result = tool.run(args, cwd=folder)
                self.assertEqual(result.stdout, out, args)
                self.assertEqual(result.returncode, want_code, args)
                if not tool.wine:
                    self.assertEqual(result.stderr, b"")
                self.assertEqual(os.listdir(folder), [], "nothing is written")

    def test_missing_names(self):
        self.check([], [USAGE, "no fas file specified"], 1)
        self.check(["a.fas"], [USAGE, "no obj file specified"], 1)
        self.check(["my file.fas"], [USAGE, "no obj file specified"], 1)

    def test_help_options(self):
        for option in ["-?", "-h", "-help", "-hx"]:
            self.check([option], [USAGE], 0)
        for option in ["/?", "/h", "/hx"]:
            self.check([option], [USAGE], 0, native=([USAGE, "no obj file specified"], 1))
        self.check(["x.fas", "-h", "y.obj", "z", "w", "v"], [USAGE], 0)
        self.check(["/home/a.fas", "b.obj"], [USAGE], 0, native=(["can't open input file"], 1))

    def test_invalid_options(self):
        for option in ["-H", "-x", "-", "-Help"]:
            self.check([option], [USAGE, "invalid option"], 1)
        self.check(["a", "-x", "-h"], [USAGE, "invalid option"], 1)
        for option in ["/", "/tmp/a.fas"]:
            self.check([option], [USAGE, "invalid option"], 1, native=([USAGE, "no obj file specified"], 1))
        self.check(["--helpx"], [USAGE, "invalid option"], 1)
        self.check(["-x", "--help"], [USAGE, "invalid option"], 1)

    def test_long_options_on_linux(self):
        self.check(["--help"], [USAGE, "invalid option"], 1, native=([USAGE], 0))
        self.check(["a.fas", "--help", "-x"], [USAGE, "invalid option"], 1, native=([USAGE], 0))
        self.check(["--version"], [USAGE, "invalid option"], 1, native=([b"symweld " + VERSION.encode() + b"\n"], 0))
        self.check(["--", "-a.fas"], [USAGE, "invalid option"], 1, native=([USAGE, "no obj file specified"], 1))
        self.check(["--procedures"], [USAGE, "invalid option"], 1, native=([USAGE, "no fas file specified"], 1))
        self.check(["--procedures=1", "a.fas"], [USAGE, "invalid option"], 1)
        # The text asked for is the output: when it cannot be written (a full
        # disk, a closed standard output), the run failed, as with any Linux tool.
        tool = self.native()
        for option in ["--help", "--version", "-h"]:
            for redirection in [">/dev/full", ">&-"]:
                result = subprocess.run(["bash", "-c", '"$@" ' + redirection, "symweld", tool.path, option],
                                        capture_output=True, timeout=60)
                self.assertEqual(result.returncode, 1, (option, redirection))

    def test_too_many_arguments(self):
        self.check(["a", "b", "c", "d"], [USAGE, "too many arguments"], 1)
        self.check(["a", "b", "c", "d", "-h"], [USAGE, "too many arguments"], 1)
        self.check(["a", "b", "c", "-h", "d"], [USAGE], 0)
        self.check(["a", "", "c", "d"], [USAGE, "too many arguments"], 1)
        self.check(["a b", "c d", "e f", "g h"], [USAGE, "too many arguments"], 1)


class WindowsImage(unittest.TestCase):
    def test_large_address_aware(self):
        # 4 GiB of address space on 64-bit Windows: large programs weld.
        exe = os.environ.get("SYMWELD_EXE", "")
        if not os.path.exists(exe):
            self.skipTest("no symweld.exe built")
        with open(exe, "rb") as f:
            data = f.read(4096)
        header = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual(data[header:header + 4], b"PE\0\0")
        self.assertTrue(struct.unpack_from("<H", data, header + 4 + 18)[0] & 0x0020)


class LinuxNames(BothBuilds):
    """The Linux build welds any name the shell passes, as it passes it."""

    def test_absolute_and_odd_names_weld(self):
        folder = tempfile.mkdtemp(prefix="symweld-")
        try:
            copy_programs(folder)
            assemble(folder, "basic")
            for odd in ['"q', 'a "b" c', "-dash", "two  blanks", "tab\there"]:
                os.mkdir(os.path.join(folder, odd))
                shutil.copy(os.path.join(folder, "basic.obj"), os.path.join(folder, odd, odd + ".obj"))
            for name, tool in self.each_tool():
                if tool.wine:
                    continue
                fas = os.path.join(folder, "basic.fas")
                for odd in ['"q', 'a "b" c', "-dash", "two  blanks", "tab\there"]:
                    obj = os.path.join(folder, odd, odd + ".obj")
                    out = os.path.join(folder, odd, odd + "_d.obj")
                    result = tool.run([fas, obj, out], cwd="/")
                    self.assertEqual((result.returncode, result.stdout), (0, b""), odd)
                    readobj(folder, out)
                    self.assertEqual(sorted(os.listdir(os.path.join(folder, odd))),
                                     sorted([odd + ".obj", odd + "_d.obj"]))
                # A leading "-" is a name after "--".
                result = tool.run(["--", "basic.fas", "basic.obj", "-dash.obj"], cwd=folder)
                self.assertEqual((result.returncode, result.stdout), (0, b""))
                self.assertTrue(os.path.exists(os.path.join(folder, "-dash.obj")))
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    unittest.main()
