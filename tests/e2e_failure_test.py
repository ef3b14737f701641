"""End-to-end failures: each message, and nothing harmed or left behind."""
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import unittest

from e2e_support import BothBuilds, assemble, copy_programs, read_bytes, run_without_pipes


class Failures(BothBuilds):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="symweld-")
        copy_programs(self.folder)
        assemble(self.folder, "basic")
        assemble(self.folder, "x64")

    def tearDown(self):
        for root, dirs, files in os.walk(self.folder):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def snapshot(self):
        return {name: read_bytes(self.path(name)) for name in os.listdir(self.folder)
                if os.path.isfile(self.path(name))}

    def expect(self, args, text, wine=True, shell_prefix=None):
        """Runs the tool; checks the message and that no file changed or appeared."""
        for build, tool in self.each_tool():
            if tool.wine and not wine:
                continue
            before = self.snapshot()
            if shell_prefix:
                command = [tool.path] + args
                if tool.wine:
                    command = ["wine"] + command
                script = shell_prefix + ' "$@"'
                result = run_without_pipes(["bash", "-c", script, "symweld"] + command, self.folder)
            else:
                result = tool.run(args, cwd=self.folder)
            self.assertEqual(result.stdout, tool.message(text))
            self.assertEqual(result.returncode, 1)
            self.assertEqual(self.snapshot(), before)

    def test_input_file_messages(self):
        fas = read_bytes(self.path("basic.fas"))
        obj = read_bytes(self.path("basic.obj"))
        self.write("text.fas", b"not a fas file at all")
        self.write("short.fas", fas[:40])
        symbols_outside = bytearray(fas)
        struct.pack_into("<I", symbols_outside, 24, len(fas) - 8)
        self.write("outside.fas", bytes(symbols_outside))
        self.write("short.obj", obj[:30])
        pointer_outside = bytearray(obj)
        struct.pack_into("<I", pointer_outside, 8, len(obj) + 100)
        self.write("outside.obj", bytes(pointer_outside))

        self.expect(["missing.fas", "basic.obj", "o.obj"], "can't open input file")
        self.expect(["text.fas", "basic.obj", "o.obj"], "input is not a fas file")
        self.expect(["short.fas", "basic.obj", "o.obj"], "error while loading input file")
        self.expect(["outside.fas", "basic.obj", "o.obj"], "error while loading input file")
        self.expect(["basic.fas", "missing.obj", "o.obj"], "can't open object file")
        self.expect(["basic.fas", "short.obj", "o.obj"], "error while loading object file")
        self.expect(["basic.fas", "outside.obj", "o.obj"], "error while loading object file")
        self.expect(["basic.fas", "x64.obj", "o.obj"], "unsupported machine type")
        # The .fas file is loaded first, so its message wins.
        self.expect(["text.fas", "x64.obj", "o.obj"], "input is not a fas file")

    def test_signature_ignores_its_lowest_bit(self):
        fas = bytearray(read_bytes(self.path("basic.fas")))
        fas[0] = 0x67
        self.write("odd.fas", bytes(fas))
        for build, tool in self.each_tool():
            result = tool.run(["odd.fas", "basic.obj", "o.obj"], cwd=self.folder)
            self.assertEqual((result.returncode, result.stdout), (0, b""))

    def test_object_with_debug_info_is_refused(self):
        for build, tool in self.each_tool():
            self.assertEqual(tool.run(["basic.fas", "basic.obj", "welded.obj"], cwd=self.folder).returncode, 0)
            self.expect(["basic.fas", "welded.obj", "again.obj"], "the object file already has debug info")
            os.remove(self.path("welded.obj"))

    def test_output_that_cannot_be_created(self):
        os.mkdir(self.path("folder.obj"))
        self.expect(["basic.fas", "basic.obj", "nowhere/o.obj"], "can't open object file")
        self.expect(["basic.fas", "basic.obj", "folder.obj"], "can't open object file")
        self.expect(["basic.fas", "basic.obj", ""], "can't open object file")
        self.write("readonly.obj", b"keep me")
        os.chmod(self.path("readonly.obj"), 0o444)
        self.expect(["basic.fas", "basic.obj", "readonly.obj"], "can't open object file")

    def test_write_failing_half_way_keeps_the_output(self):
        self.write("old.obj", b"previous contents " * 10)
        # Room for 1 KiB: the welded object is larger.
        prefix = "trap '' XFSZ; ulimit -f 1; exec"
        self.expect(["basic.fas", "basic.obj", "old.obj"], "error while saving object file", shell_prefix=prefix)
        self.expect(["basic.fas", "basic.obj"], "error while saving object file", shell_prefix=prefix)

    def test_replaced_file_keeps_mode_and_links(self):
        # Native only: POSIX permission bits and symbolic links.
        tool = [t for n, t in self.tools_native()][0]
        self.write("target.obj", b"old")
        os.chmod(self.path("target.obj"), 0o640)
        os.symlink("target.obj", self.path("link.obj"))
        result = tool.run(["basic.fas", "basic.obj", "link.obj"], cwd=self.folder)
        self.assertEqual(result.returncode, 0)
        self.assertTrue(os.path.islink(self.path("link.obj")))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("target.obj")).st_mode), 0o640)
        self.assertEqual(read_bytes(self.path("target.obj"))[:2], b"\x4c\x01")

    def test_closed_standard_output_keeps_the_exit_code(self):
        tool = [t for n, t in self.tools_native()][0]
        for args, code in [(["missing.fas", "basic.obj"], 1), (["basic.fas", "basic.obj", "o.obj"], 0), ([], 1)]:
            result = subprocess.run(["bash", "-c", '"$@" >&-', "symweld", tool.path] + args,
                                    cwd=self.folder, capture_output=True)
            self.assertEqual(result.returncode, code)

    def tools_native(self):
        from e2e_support import tools
        return [(n, t) for n, t in tools() if not t.wine]


if __name__ == "__main__":
    unittest.main()
