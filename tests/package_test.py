"""The packages: their contents, the man page, the version resource of
symweld.exe, and that a copy of the tree in another folder builds the same
bytes."""
import gzip
import io
import os
import shutil
import struct
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

from e2e_support import WINE, assemble, copy_programs, read_bytes, run_without_pipes, windows_tested

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
NATIVE = os.path.abspath(os.environ["SYMWELD"])
WINDOWS = os.path.abspath(os.environ["SYMWELD_EXE"])
VERSION = os.environ["SYMWELD_VERSION"]
EPOCH = "1767225600"
DEB = "symweld_%s_amd64.deb" % VERSION
TARBALL = "symweld-%s-linux-x86_64.tar.gz" % VERSION
ZIP = "symweld-%s-win32.zip" % VERSION


def dist(native, exe, out, cwd=ROOT):
    env = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH)
    subprocess.run([os.path.join(cwd, "scripts", "dist.sh"), native, exe, out], cwd=cwd, env=env,
                   check=True, capture_output=True, timeout=300)


def version_strings(exe):
    """The StringFileInfo values of the PE file's version resource."""
    data = open(exe, "rb").read()
    values = {}
    for key in ["FileVersion", "ProductVersion", "ProductName", "FileDescription", "LegalCopyright",
                "OriginalFilename"]:
        at = data.find((key + "\0").encode("utf-16-le"))
        if at < 0:
            continue
        at += 2 * (len(key) + 1)
        at += (4 - at % 4) % 4
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        values[key] = data[at:end].decode("utf-16-le")
    return values


def pe_resource(exe, type_id, name_id):
    """The data of a resource of a PE file, by numeric type and name, found
    through the resource directory as Windows' loader finds it."""
    data = read_bytes(exe)
    header = struct.unpack_from("<I", data, 0x3C)[0] + 4
    count, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, header + 2)
    optional = header + 20
    resource_rva = struct.unpack_from("<I", data, optional + 96 + 2 * 8)[0]
    sections = [struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * n) for n in range(count)]

    def offset(rva):
        for _, size, address, raw_size, raw in sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise LookupError(hex(rva))
    root = offset(resource_rva)

    def entry(directory, wanted):
        named, numbered = struct.unpack_from("<HH", data, directory + 12)
        for k in range(named, named + numbered):
            ident, target = struct.unpack_from("<II", data, directory + 16 + 8 * k)
            if wanted is None or ident == wanted:
                return root + (target & 0x7FFFFFFF), bool(target & 0x80000000)
        raise LookupError(wanted)
    level, _ = entry(root, type_id)
    level, _ = entry(level, name_id)
    leaf, is_directory = entry(level, None)  # the first language
    while is_directory:
        leaf, is_directory = entry(leaf, None)
    rva, size = struct.unpack_from("<II", data, leaf)
    return data[offset(rva):offset(rva) + size]


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="symweld-dist-")
        cls.out = os.path.join(cls.folder, "a")
        dist(NATIVE, WINDOWS, cls.out)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def package(self, name):
        return os.path.join(self.out, name)

    def test_deb(self):
        fields = subprocess.run(["dpkg-deb", "-f", self.package(DEB)], capture_output=True, check=True).stdout.decode()
        for field in ["Package: symweld", "Version: " + VERSION, "Architecture: amd64", "Maintainer: ",
                      "Section: devel", "Priority: optional", "Description: "]:
            self.assertIn("\n" + field, "\n" + fields)
        listing = subprocess.run(["dpkg-deb", "-c", self.package(DEB)], capture_output=True, check=True).stdout.decode()
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.endswith("/"))
        self.assertEqual(files, ["./usr/bin/symweld", "./usr/share/doc/symweld/README.md.gz",
                                 "./usr/share/doc/symweld/changelog.gz", "./usr/share/doc/symweld/copyright",
                                 "./usr/share/lintian/overrides/symweld", "./usr/share/man/man1/symweld.1.gz"])
        for line in listing.splitlines():
            self.assertIn(" root/root ", line)
        if shutil.which("lintian"):
            result = subprocess.run(["lintian", "--no-cfg", "--fail-on", "error", self.package(DEB)],
                                    capture_output=True, timeout=300)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_tarball_runs(self):
        top = "symweld-%s-linux-x86_64/" % VERSION
        with tarfile.open(self.package(TARBALL)) as tar:
            names = sorted(m.name for m in tar.getmembers() if m.isfile())
            self.assertEqual(names, [top + "bin/symweld", top + "share/doc/symweld/LICENSE",
                                     top + "share/doc/symweld/README.md", top + "share/man/man1/symweld.1"])
            self.assertEqual({(m.uid, m.gid, m.mtime) for m in tar.getmembers()}, {(0, 0, int(EPOCH))})
            tar.extractall(self.folder)
        result = subprocess.run([os.path.join(self.folder, top, "bin", "symweld"), "--version"],
                                capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (0, ("symweld %s\n" % VERSION).encode()))

    def test_zip_for_windows(self):
        top = "symweld-%s-win32/" % VERSION
        with zipfile.ZipFile(self.package(ZIP)) as z:
            self.assertEqual(sorted(n for n in z.namelist() if not n.endswith("/")),
                             [top + "LICENSE.txt", top + "README.txt", top + "symweld.exe"])
            for text in ["LICENSE.txt", "README.txt"]:
                lines = z.read(top + text).split(b"\n")
                self.assertTrue(all(line.endswith(b"\r") for line in lines[:-1]), text)
            z.extractall(self.folder)
        exe = os.path.join(self.folder, top, "symweld.exe")
        self.assertEqual(version_strings(exe), {
            "FileVersion": VERSION, "ProductVersion": VERSION, "ProductName": "symweld",
            "FileDescription": "symweld: CodeView debug information for fasm COFF objects",
            "LegalCopyright": "Copyright (c) The symweld authors. MIT License.",
            "OriginalFilename": "symweld.exe"})
        manifest = pe_resource(exe, 24, 1).decode()
        self.assertIn('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', manifest)
        self.assertIn('<ws2:longPathAware>true</ws2:longPathAware>', manifest)
        for windows_7_to_11 in ["35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"]:
            self.assertIn('<supportedOS Id="{%s}"/>' % windows_7_to_11, manifest)
        if not windows_tested():
            return
        # The packaged exe itself, manifest and all: the usage text, and one
        # weld that gives the native build's bytes.
        result = run_without_pipes([WINE, exe, "-?"], self.folder)
        self.assertTrue(result.stdout.startswith(b"\r\nUsage: symweld"), result.stdout)
        work = os.path.join(self.folder, "weld")
        os.mkdir(work)
        copy_programs(work)
        assemble(work, "basic")
        result = run_without_pipes([WINE, exe, "basic.fas", "basic.obj", "basic_d.obj"], work)
        self.assertEqual((result.returncode, result.stdout), (0, b""))
        welded = read_bytes(os.path.join(work, "basic_d.obj"))
        subprocess.run([NATIVE, "basic.fas", "basic.obj", "basic_d.obj"], cwd=work, check=True)
        self.assertEqual(welded, read_bytes(os.path.join(work, "basic_d.obj")))

    def test_man_page(self):
        result = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", os.path.join(ROOT, "doc", "symweld.1")],
                                capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, b""))
        page = gzip.decompress(self.deb_member("./usr/share/man/man1/symweld.1.gz"))
        self.assertEqual(page, open(os.path.join(ROOT, "doc", "symweld.1"), "rb").read())

    def deb_member(self, name):
        data = subprocess.run(["dpkg-deb", "--fsys-tarfile", self.package(DEB)], capture_output=True, check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            return tar.extractfile(name).read()

    def test_a_copy_elsewhere_builds_the_same_bytes(self):
        copy = os.path.join(self.folder, "elsewhere", "tree")
        listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"], cwd=ROOT,
                                capture_output=True)
        if listed.returncode == 0:
            for name in filter(None, listed.stdout.decode().split("\0")):
                if os.path.isfile(os.path.join(ROOT, name)):
                    os.makedirs(os.path.dirname(os.path.join(copy, name)), exist_ok=True)
                    shutil.copy2(os.path.join(ROOT, name), os.path.join(copy, name))
        else:  # not a git checkout: the tree as it lies, without its builds
            shutil.copytree(ROOT, copy, ignore=shutil.ignore_patterns("build", ".git"))
        builds = [("native", []), ("win32", ["-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake"])]
        for build, options in builds:
            subprocess.run(["cmake", "-S", ".", "-B", "out-" + build, "-DCMAKE_BUILD_TYPE=Release",
                            "-DSYMWELD_TESTS=OFF"] + options, cwd=copy, check=True, capture_output=True, timeout=300)
            subprocess.run(["cmake", "--build", "out-" + build, "-j", str(os.cpu_count() or 2), "--target", "symweld"],
                           cwd=copy, check=True, capture_output=True, timeout=600)
        native, exe = os.path.join(copy, "out-native", "symweld"), os.path.join(copy, "out-win32", "symweld.exe")
        self.assertEqual(open(native, "rb").read(), open(NATIVE, "rb").read())
        self.assertEqual(open(exe, "rb").read(), open(WINDOWS, "rb").read())
        dist(native, exe, os.path.join(self.folder, "b"), cwd=copy)
        for name in [DEB, TARBALL, ZIP]:
            self.assertEqual(open(os.path.join(self.folder, "b", name), "rb").read(),
                             open(self.package(name), "rb").read(), name)


if __name__ == "__main__":
    unittest.main()
