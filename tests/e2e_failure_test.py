"""End-to-end failures: each message, and nothing harmed or left behind."""
import os
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import time
import unittest

from e2e_support import BothBuilds, assemble, copy_programs, read_bytes, run_without_pipes


class Failures(BothBuilds):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="symweld-")
        copy_programs(self.folder)
        assemble(self.folder, "basic")
        assemble(self.folder, "x64")
        self.files_at_start = len(os.listdir(self.folder))

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
        # Room for 1 KiB: the welded object is larger. SIGXFSZ keeps its
        # default action, as a build system leaves it.
        prefix = "trap - XFSZ; ulimit -f 1; exec"
        self.expect(["basic.fas", "basic.obj", "old.obj"], "error while saving object file", shell_prefix=prefix)
        self.expect(["basic.fas", "basic.obj"], "error while saving object file", shell_prefix=prefix)

    def test_replaced_file_keeps_mode_and_links(self):
        # Native only: POSIX permission bits and symbolic links.
        tool = self.native()
        for mode, kept in [(0o640, 0o640), (0o600, 0o600), (0o4755, 0o755), (0o2770, 0o770)]:
            self.write("target.obj", b"old")
            os.chmod(self.path("target.obj"), mode)
            os.symlink("target.obj", self.path("link.obj"))
            result = tool.run(["basic.fas", "basic.obj", "link.obj"], cwd=self.folder)
            self.assertEqual(result.returncode, 0)
            self.assertTrue(os.path.islink(self.path("link.obj")))
            # Permission bits stay; setuid and setgid never come along.
            self.assertEqual(stat.S_IMODE(os.stat(self.path("target.obj")).st_mode), kept)
            self.assertEqual(read_bytes(self.path("target.obj"))[:2], b"\x4c\x01")
            os.remove(self.path("link.obj"))
        # A new output gets the mode of any new file.
        result = subprocess.run(["bash", "-c", 'umask 027; exec "$@"', "symweld", tool.path,
                                 "basic.fas", "basic.obj", "new.obj"], cwd=self.folder)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.obj")).st_mode), 0o640)

    def test_outputs_that_are_not_regular_files_are_left_alone(self):
        os.mkfifo(self.path("fifo.obj"))
        os.symlink("fifo.obj", self.path("to_fifo.obj"))
        os.mknod(self.path("null.obj"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
        os.symlink("null.obj", self.path("to_null.obj"))
        for name in ["fifo.obj", "to_fifo.obj", "null.obj", "to_null.obj"]:
            self.expect(["basic.fas", "basic.obj", name], "can't open object file", wine=False)
        self.assertTrue(stat.S_ISFIFO(os.stat(self.path("fifo.obj")).st_mode))
        self.assertTrue(stat.S_ISCHR(os.stat(self.path("null.obj")).st_mode))
        self.assertTrue(os.path.islink(self.path("to_null.obj")))
        self.assertEqual(len(os.listdir(self.folder)), self.files_at_start + 4)

    def test_output_that_is_an_input_is_refused(self):
        os.symlink("basic.asm", self.path("to_source.obj"))
        os.symlink("basic.fas", self.path("to_fas.obj"))
        for output in ["basic.fas", "basic.asm", "routines.inc", "./basic.asm", "to_source.obj", "to_fas.obj"]:
            self.expect(["basic.fas", "basic.obj", output], "output file is an input file")
        # The object itself may be replaced in place, however it is named.
        os.symlink("basic.obj", self.path("to_obj.obj"))
        original = read_bytes(self.path("basic.obj"))
        for build, tool in self.each_tool():
            for output in ["basic.obj", "./basic.obj", "to_obj.obj"]:
                self.write("basic.obj", original)
                result = tool.run(["basic.fas", "basic.obj", output], cwd=self.folder)
                self.assertEqual((result.returncode, result.stdout), (0, b""), output)
            self.assertTrue(os.path.islink(self.path("to_obj.obj")))

    def test_names_as_long_as_the_system_allows(self):
        # A 254-byte name, and a path a few bytes short of the path limit:
        # the temporary's name does not grow with the target's.
        tool = self.native()
        deep = self.folder
        while len(deep) < 4096 - 300:
            deep = os.path.join(deep, "d" * 200)
        os.makedirs(deep)
        for output in [self.path("n" * 250 + ".obj"),
                       os.path.join(deep, "x" * (4090 - len(deep) - 5) + ".obj")]:
            relative = os.path.relpath(output, self.folder)
            result = tool.run(["basic.fas", "basic.obj", relative], cwd=self.folder)
            self.assertEqual((result.returncode, result.stdout), (0, b""), len(relative))
            self.assertEqual(read_bytes(output)[:2], b"\x4c\x01")
            self.assertEqual([n for n in os.listdir(os.path.dirname(output)) if n.startswith(".symweld")], [])

    def test_another_users_file_is_refused(self):
        # An unprivileged user may rename over a root-owned file in a
        # world-writable folder, but must not replace what it cannot write.
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to act as another user")
        shutil.copy(self.native().path, self.path("symweld"))
        os.chmod(self.folder, 0o777)
        for name in os.listdir(self.folder):
            os.chmod(self.path(name), 0o755)
        self.write("roots.obj", b"root's own")
        os.chmod(self.path("roots.obj"), 0o644)
        self.write("readonly.obj", b"keep me")
        os.chown(self.path("readonly.obj"), 65534, 65534)
        os.chmod(self.path("readonly.obj"), 0o400)
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "./symweld"]
        for output in ["roots.obj", "readonly.obj"]:
            before = self.snapshot()
            result = subprocess.run(as_nobody + ["basic.fas", "basic.obj", output], cwd=self.folder,
                                    capture_output=True, timeout=60)
            self.assertEqual((result.returncode, result.stdout), (1, b"symweld: can't open object file\n"))
            self.assertEqual(self.snapshot(), before)
        # A folder the user may write to but not list still takes a new output.
        os.mkdir(self.path("dropbox"), 0o333)
        os.chmod(self.path("dropbox"), 0o333)
        for output in ["mine.obj", "dropbox/mine.obj"]:
            result = subprocess.run(as_nobody + ["basic.fas", "basic.obj", output], cwd=self.folder,
                                    capture_output=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout)

    def test_small_address_space_limit(self):
        for build, tool in self.each_tool():
            if tool.wine:
                continue
            result = subprocess.run(["bash", "-c", 'ulimit -v 524288; exec "$@"', "symweld", tool.path,
                                     "basic.fas", "basic.obj", "small.obj"], cwd=self.folder,
                                    capture_output=True, timeout=60)
            if "asan" in tool.path or result.stderr.startswith(b"==") or b"AddressSanitizer" in result.stderr:
                self.skipTest("the sanitizers reserve more address space than the limit")
            self.assertEqual((result.returncode, result.stdout), (0, b""))

    def test_interrupted_write_leaves_no_temporary(self):
        """SIGTERM, SIGINT and SIGHUP while the output is written: the
        temporary (owner-only while it exists) goes, the old output stays,
        and the process ends by the signal."""
        tool = self.native()
        with open(self.path("big.asm"), "w") as f:
            f.write("format MS COFF\nsection '.data' data readable writeable\nblob db 96*1024*1024 dup 0\n")
        assemble(self.folder, "big")
        old = b"old output " * 100
        caught = set()
        for attempt in range(8):
            for signal_number in [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]:
                if signal_number in caught:
                    continue
                self.write("out.obj", old)
                process = subprocess.Popen([tool.path, "big.fas", "big.obj", "out.obj"], cwd=self.folder,
                                           stdout=subprocess.DEVNULL)
                temporary = self.wait_for_temporary(process)
                if temporary:
                    try:
                        mode = stat.S_IMODE(os.stat(self.path(temporary)).st_mode)
                        self.assertEqual(mode, 0o600)
                    except FileNotFoundError:
                        pass
                    process.send_signal(signal_number)
                code = process.wait(timeout=120)
                self.assertEqual([n for n in os.listdir(self.folder) if n.startswith(".symweld")], [])
                if code == -signal_number:
                    self.assertEqual(read_bytes(self.path("out.obj")), old)
                    caught.add(signal_number)
                else:
                    self.assertEqual(code, 0)
        if len(caught) < 3:
            self.skipTest("the write ended before a signal could reach it (caught %s)" % sorted(caught))

    def wait_for_temporary(self, process):
        deadline = time.monotonic() + 120
        while process.poll() is None and time.monotonic() < deadline:
            for name in os.listdir(self.folder):
                if name.startswith(".symweld-"):
                    return name
        return None

    def native(self):
        return [t for n, t in self.tools_native()][0]

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
