"""The packages: their contents, the man page, the version resource of
symweld.exe, and that a copy of the tree in another folder builds the same
bytes."""
import gzip
import io
import os
import re
import resource
import shutil
import struct
import subprocess
import tarfile
import tempfile
import time
import unittest
import zipfile

from e2e_support import (FASM, PDBUTIL, WINE, assemble, copy_programs, kernel32_lib, link, read_bytes, readobj,
                         run_without_pipes, windows_tested)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
NATIVE = os.path.abspath(os.environ["SYMWELD"])
WINDOWS = os.path.abspath(os.environ["SYMWELD_EXE"])
VERSION = os.environ["SYMWELD_VERSION"]
EPOCH = "1767225600"
DEB = "symweld_%s_amd64.deb" % VERSION
TARBALL = "symweld-%s-linux-x86_64.tar.gz" % VERSION
ZIP = "symweld-%s-win32.zip" % VERSION
# The documents the README links to for users, shipped beside it; the
# contributors' one stays in the tree.
USER_DOCS = ["build-systems", "command-line", "debugging", "file-safety"]
CONTRIBUTORS_DOCS = ["doc/contributing.md", "doc/symweld.1"]


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
        self.assertEqual(files, sorted(["./usr/bin/symweld", "./usr/lib/cmake/symweld/symweld-config-version.cmake",
                                        "./usr/lib/cmake/symweld/symweld-config.cmake",
                                        "./usr/share/doc/symweld/README.md.gz",
                                        "./usr/share/doc/symweld/changelog.gz", "./usr/share/doc/symweld/copyright",
                                        "./usr/share/lintian/overrides/symweld", "./usr/share/man/man1/symweld.1.gz",
                                        "./usr/share/symweld/symweld.mk"] +
                                       ["./usr/share/doc/symweld/doc/%s.md.gz" % name for name in USER_DOCS]))
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
            self.assertEqual(names, sorted([top + "bin/symweld", top + "lib/cmake/symweld/symweld-config-version.cmake",
                                            top + "lib/cmake/symweld/symweld-config.cmake",
                                            top + "share/doc/symweld/LICENSE", top + "share/doc/symweld/README.md",
                                            top + "share/man/man1/symweld.1", top + "share/symweld/symweld.mk"] +
                                           [top + "share/doc/symweld/doc/%s.md" % name for name in USER_DOCS]))
            self.assertEqual({(m.uid, m.gid, m.mtime) for m in tar.getmembers()}, {(0, 0, int(EPOCH))})
            tar.extractall(self.folder)
        result = subprocess.run([os.path.join(self.folder, top, "bin", "symweld"), "--version"],
                                capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (0, ("symweld %s\n" % VERSION).encode()))

    def test_zip_for_windows(self):
        top = "symweld-%s-win32/" % VERSION
        with zipfile.ZipFile(self.package(ZIP)) as z:
            texts = ["LICENSE.txt", "README.txt"] + ["doc/%s.txt" % name for name in USER_DOCS]
            self.assertEqual(sorted(n for n in z.namelist() if not n.endswith("/")),
                             sorted([top + text for text in texts] + [top + "symweld.exe"]))
            for text in texts:
                lines = z.read(top + text).split(b"\n")
                self.assertTrue(all(line.endswith(b"\r") for line in lines[:-1]), text)
                # A link between the shipped documents names the .txt file
                # that the zip holds.
                for target in re.findall(r"\]\(([^)#]*\.(?:md|txt))", z.read(top + text).decode()):
                    shipped = os.path.normpath(os.path.join(os.path.dirname(text), target))
                    if target.endswith(".txt") or shipped not in CONTRIBUTORS_DOCS:
                        self.assertIn(top + shipped, z.namelist(), (text, target))
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

    def test_document_links(self):
        """Every link of the README and of doc/*.md leads to a file of the
        tree and, with a #, to one of its headings; every document the
        README links to for users lies beside it in the tarball."""
        def anchors(path):
            headings = [line.lstrip("#").strip() for line in open(path) if line.startswith("#")]
            return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}
        documents = ["README.md"] + ["doc/" + n for n in sorted(os.listdir(os.path.join(ROOT, "doc")))
                                     if n.endswith(".md")]
        for document in documents:
            for target in re.findall(r"\]\(([^)]+)\)", open(os.path.join(ROOT, document)).read()):
                name, _, heading = target.partition("#")
                path = os.path.normpath(os.path.join(os.path.dirname(document), name)) if name else document
                self.assertTrue(os.path.isfile(os.path.join(ROOT, path)), (document, target))
                if heading:
                    self.assertIn(heading, anchors(os.path.join(ROOT, path)), (document, target))
        top = "symweld-%s-linux-x86_64/share/doc/symweld/" % VERSION
        with tarfile.open(self.package(TARBALL)) as tar:
            shipped = set(tar.getnames())
        for target in re.findall(r"\]\((doc/[^)#]+)", open(os.path.join(ROOT, "README.md")).read()):
            if target not in CONTRIBUTORS_DOCS:
                self.assertIn(top + target, shipped)

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



# A program of two sources as a user keeps it: main.asm reads an include
# from an include folder, util.asm reads none.
PROJECT = {
    "src/main.asm": "format MS COFF\ninclude 'shared.inc'\n"
                    "extrn '__imp__ExitProcess@4' as ExitProcess:dword\nextrn util\n"
                    "public start as '_start'\nsection '.text' code readable executable\n"
                    "start:\n call util\n mov eax, ANSWER\n push 0\n call [ExitProcess]\n",
    "src/util.asm": "format MS COFF\npublic util\nsection '.text' code readable executable\n"
                    "util:\n xor eax, eax\n ret\n",
    "src/inc/shared.inc": "ANSWER = 42\n",
}


class UsingItInABuild(unittest.TestCase):
    """The CMake package and the make rule, installed into a staging prefix
    and used as a user would: the program is built, linked and debugged,
    an edited include rebuilds exactly the object that reads it, a build
    with nothing to do does nothing, removed intermediate files and folders
    are made again, and options reach the welds of exactly the
    objects they are given for."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="symweld-build-")
        cls.stage = os.path.join(cls.folder, "stage")
        subprocess.run(["cmake", "--install", os.path.dirname(NATIVE), "--prefix", cls.stage],
                       check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def make_project(self, name):
        top = os.path.join(self.folder, name)
        for path, text in PROJECT.items():
            os.makedirs(os.path.dirname(os.path.join(top, path)), exist_ok=True)
            with open(os.path.join(top, path), "w") as f:
                f.write(text)
        return top

    def run_build(self, command, cwd, env=None):
        result = subprocess.run(command, cwd=cwd, capture_output=True, timeout=600, env=env)
        self.assertEqual(result.returncode, 0, result.stdout.decode() + result.stderr.decode())
        return result

    def stamps(self, objects):
        return {name: os.stat(path).st_mtime_ns for name, path in objects.items()}

    def rebuilt_after(self, change, build, objects):
        """The objects that a build rebuilds after `change`, which happens
        after the objects were made and not in the future."""
        stamps = self.stamps(objects)
        later = max(stamps.values()) + 1000000
        while time.time_ns() < later:
            time.sleep(0.001)
        change()
        build()
        return sorted(name for name, path in objects.items() if os.stat(path).st_mtime_ns != stamps[name])

    def check_cycle(self, build, objects, linked, pdb_folder):
        """Builds, links the objects named in `linked` and checks the PDB;
        then a build with nothing to do and one after the include was
        edited."""
        build()
        linked = link(pdb_folder, [objects[name] for name in linked] + [kernel32_lib(pdb_folder)], "start")
        self.assertEqual(linked.returncode, 0, linked.stdout + linked.stderr)
        lines = subprocess.run([PDBUTIL, "dump", "-l", "out.pdb"], cwd=pdb_folder, capture_output=True,
                               check=True).stdout.decode()
        for source in ["main.asm", "util.asm"]:
            self.assertRegex(lines, source + r" \(MD5: [0-9A-F]{32}\)\n\s+[0-9a-f]{4}:[0-9a-f]{8}-",
                             "no line records of " + source)
        self.assertEqual(self.rebuilt_after(lambda: None, build, objects), [],
                         "a build with nothing to do rebuilt objects")
        include = os.path.join(self.project, "src", "inc", "shared.inc")
        self.assertEqual(self.rebuilt_after(lambda: os.utime(include), build, objects), ["main"])

    def check_removed(self, build, objects, paths, rebuilt):
        """A build after `paths` were removed rebuilds exactly `rebuilt`."""
        def remove():
            for path in paths:
                (shutil.rmtree if os.path.isdir(path) else os.remove)(path)
        self.assertEqual(self.rebuilt_after(remove, build, objects), rebuilt, paths)

    def check_procedures(self, objects, welded_with):
        """--procedures reached the welds of exactly the objects named."""
        for name, path in objects.items():
            text = readobj(os.path.dirname(path), path)
            self.assertEqual("S_GPROC32" in text, name in welded_with, name)

    def check_cmake(self, generator, name):
        if not shutil.which("cmake") or (generator == "Ninja" and not shutil.which("ninja")):
            self.skipTest("needs cmake and ninja")
        self.project = self.make_project(name)
        # util twice, as a release and a debug object in one folder; the
        # option once as an argument and once for every later object; main
        # with a fasm of the project's own, by a path from the source folder.
        os.mkdir(os.path.join(self.project, "tools"))
        shutil.copy(FASM, os.path.join(self.project, "tools", "fasm"))
        with open(os.path.join(self.project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.16)\nproject(demo NONE)\n"
                    "find_package(symweld 1.0 REQUIRED)\n"
                    "symweld_add_fasm_object(MAIN_OBJ src/main.asm INCLUDE src/inc OPTIONS --procedures\n"
                    "                        FASM tools/fasm)\n"
                    "symweld_add_fasm_object(UTIL_OBJ src/util.asm OUTPUT objects/util.release.obj)\n"
                    "set(SYMWELD_OPTIONS --procedures)\n"
                    "symweld_add_fasm_object(DEBUG_OBJ src/util.asm OUTPUT objects/util.debug.obj)\n"
                    "add_custom_target(objects ALL DEPENDS ${MAIN_OBJ} ${UTIL_OBJ} ${DEBUG_OBJ})\n")
        build = os.path.join(self.project, "build")
        self.run_build(["cmake", "-G", generator, "-S", self.project, "-B", build,
                        "-DCMAKE_PREFIX_PATH=" + self.stage, "-DSYMWELD_FASM_EXECUTABLE=" + os.path.abspath(FASM)],
                       self.project)
        objects = {"main": os.path.join(build, "main.obj"),
                   "util.release": os.path.join(build, "objects", "util.release.obj"),
                   "util.debug": os.path.join(build, "objects", "util.debug.obj")}
        run = lambda: self.run_build(["cmake", "--build", build], self.project)
        self.check_cycle(run, objects, ["main", "util.debug"], build)
        self.check_procedures(objects, ["main", "util.debug"])
        self.assertEqual(sorted(n for n in os.listdir(os.path.join(build, "objects")) if n.endswith(".fas")),
                         ["util.debug.obj.fas", "util.release.obj.fas"])
        self.check_removed(run, objects, [os.path.join(build, "main.obj.fas")], ["main"])
        self.check_removed(run, objects, [os.path.join(build, "objects")], ["util.debug", "util.release"])

    def test_cmake_with_ninja(self):
        self.check_cmake("Ninja", "ninja")

    def test_cmake_with_makefiles(self):
        self.check_cmake("Unix Makefiles", "makefiles")

    def test_cmake_refuses_two_objects_of_one_name(self):
        """At configure time, with a message that names both sources, also
        where one output's folder is a symbolic link to the other's; an
        output over a source, and a name with ';', are refused too. A
        default OUTPUT keeps all but the source's last extension."""
        if not shutil.which("cmake"):
            self.skipTest("needs cmake")
        project = self.make_project("collide")
        for copy in ["src/b/util.asm", "src/v.release.asm", "src/v.debug.asm", "src/se;mi.asm"]:
            os.makedirs(os.path.dirname(os.path.join(project, copy)), exist_ok=True)
            shutil.copy(os.path.join(project, "src", "util.asm"), os.path.join(project, copy))
        util_over_main = " OUTPUT ${CMAKE_SOURCE_DIR}/src/main.asm"
        cases = [(["src/util.asm", "src/b/util.asm"], ["", ""], True),
                 (["src/main.asm", "src/util.asm"], [" OUTPUT o/x.obj", " OUTPUT o/../o/x.obj"], True),
                 (["src/main.asm", "src/util.asm"], [" OUTPUT real/x.obj", " OUTPUT link/x.obj"], True),
                 (["src/main.asm", "src/util.asm"], ["", util_over_main], True),
                 (["src/util.asm", "src/main.asm"], [util_over_main, ""], True),
                 (["src/se;mi.asm"], [""], True),
                 (["src/util.asm"], [' OUTPUT "o;x.obj"'], True),
                 (["src/v.release.asm", "src/v.debug.asm"], ["", ""], False),
                 (["src/main.asm", "src/util.asm"], [" OUTPUT real/x.obj", " OUTPUT link/y.obj"], False)]
        for sources, outputs, refused in cases:
            calls = "".join('symweld_add_fasm_object(V%d "%s"%s)\n' % (n, source, output)
                            for n, (source, output) in enumerate(zip(sources, outputs)))
            with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
                f.write("cmake_minimum_required(VERSION 3.16)\nproject(demo NONE)\n"
                        "find_package(symweld 1.0 REQUIRED)\n" + calls)
            build = os.path.join(project, "b")
            os.makedirs(os.path.join(build, "real"))
            os.symlink("real", os.path.join(build, "link"))
            result = subprocess.run(["cmake", "-S", project, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.stage,
                                     "-DSYMWELD_FASM_EXECUTABLE=" + os.path.abspath(FASM)],
                                    capture_output=True, timeout=300)
            message = " ".join(result.stderr.decode().split())  # CMake wraps long lines
            self.assertEqual(result.returncode != 0, refused, calls + message)
            if ";" in calls:
                self.assertIn("a name with ';' cannot be used", message, calls)
            else:
                for source in sources if refused else []:
                    self.assertIn(os.path.join(project, source), message, calls)
            shutil.rmtree(build)

    def test_make_rule(self):
        """With a makefile included after the rule, the options set there
        for every object and cleared for one, and another `symweld` first
        on PATH that must never run: the rule runs the installed one, on
        the first build and on every later one."""
        self.project = self.make_project("make")
        with open(os.path.join(self.project, "Makefile"), "w") as f:
            f.write("include %s/share/symweld/symweld.mk\ninclude local.mk\nFASM = %s\n"
                    "all: src/main.obj src/util.obj\nsrc/util.obj: SYMWELD_FLAGS =\n"
                    % (self.stage, os.path.abspath(FASM)))
        with open(os.path.join(self.project, "local.mk"), "w") as f:
            f.write("FASM_INCLUDE = src/inc\nSYMWELD_FLAGS = --procedures\n")
        decoy = os.path.join(self.project, "decoy")
        os.mkdir(decoy)
        ran = os.path.join(self.project, "decoy-ran")
        with open(os.path.join(decoy, "symweld"), "w") as f:
            f.write("#!/bin/sh\necho \"$@\" >> '%s'\n" % ran)
        os.chmod(os.path.join(decoy, "symweld"), 0o755)
        env = self.make_env()
        env["PATH"] = decoy + os.pathsep + env["PATH"]
        objects = {"main": os.path.join(self.project, "src", "main.obj"),
                   "util": os.path.join(self.project, "src", "util.obj")}

        def run():
            result = self.run_build(["make"], self.project, env)
            self.assertFalse(os.path.exists(ran), "the symweld on PATH ran")
            self.assertNotIn(b"make:", result.stderr)  # no circular or other complaint
            for name in objects:
                self.assertLessEqual(result.stdout.count(b" src/%s.asm " % name.encode()), 1, result.stdout)
            return result
        self.check_cycle(run, objects, ["main", "util"], self.project)
        self.check_procedures(objects, ["main"])
        self.check_removed(run, objects, [os.path.join(self.project, "src", "main.fas")], ["main"])
        self.check_procedures(objects, ["main"])
        self.assertIn(b"Nothing to be done", run().stdout)

    def make_env(self):
        """The environment without this suite's own SYMWELD, which would
        set the rule's variable of that name."""
        return {key: value for key, value in os.environ.items() if not key.startswith("SYMWELD")}

    def test_make_rule_odd_names_and_failures(self):
        """Names that the shell would split or run (`$`, parentheses,
        braces, a blank in a folder; quotes and `&` in the prefix the rule
        is installed in): the objects are made, a second make
        does nothing, and an edited include or a deleted dependency file
        makes exactly its object again. A fasm that fails while writing
        leaves no object behind, so the next make makes it."""
        prefix = os.path.join(self.folder, "it's&R(D)")
        subprocess.run(["cmake", "--install", os.path.dirname(NATIVE), "--prefix", prefix],
                       check=True, capture_output=True)
        self.project = self.make_project("make-odd")
        src = os.path.join(self.project, "src")
        # Names that the dependency file can hold (make and Ninja read them
        # back); a quote or `&` in a source's name is refused by the weld.
        sources = {"paren": "x (1)", "dollar": "a$b", "blank": "my dir/x", "brace": "{b}!@"}
        os.makedirs(os.path.join(src, "my dir"))
        for name in sources.values():
            with open(os.path.join(src, name + ".asm"), "w") as f:
                f.write(PROJECT["src/main.asm"].replace("util", "util_" + str(len(name))))
        targets = " ".join(["src/util.obj"] + ["src/" + name.replace("$", "$$").replace(" ", "\\ ") + ".obj"
                            for name in sources.values()])
        # And one object that fasm alone makes, by a rule of the user's.
        shutil.copy(os.path.join(src, "util.asm"), os.path.join(src, "plain.asm"))
        with open(os.path.join(self.project, "Makefile"), "w") as f:
            f.write("include %s/share/symweld/symweld.mk\nFASM = %s\nFASM_INCLUDE = src/inc\n"
                    "all: %s src/plain.obj\nsrc/plain.obj: src/plain.asm\n\t$(FASM) $< $@\n"
                    % (prefix, os.path.abspath(FASM), targets))
        sources["util"] = "util"  # plain, and reads no include
        objects = {key: os.path.join(src, name + ".obj") for key, name in sources.items()}
        env = self.make_env()
        run = lambda: self.run_build(["make"], self.project, env)

        def limited():  # fasm and the weld may write 64 bytes of a file
            resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
        failed = subprocess.run(["make", "-k"], cwd=self.project, env=env, capture_output=True, timeout=600,
                                preexec_fn=limited)
        self.assertNotEqual(failed.returncode, 0)
        self.assertEqual([key for key, path in objects.items() if os.path.exists(path)], [],
                         "a half-written object was left")
        run()
        with_plain = dict(objects, plain=os.path.join(src, "plain.obj"))
        self.assertEqual(self.rebuilt_after(lambda: None, run, with_plain), [])
        include = os.path.join(src, "inc", "shared.inc")
        self.assertEqual(self.rebuilt_after(lambda: os.utime(include), run, objects),
                         sorted(key for key in objects if key != "util"))
        for key in sorted(objects):
            self.check_removed(run, with_plain, [objects[key] + ".d"], [key])
        self.assertEqual(self.rebuilt_after(lambda: None, run, with_plain), [])
        # A name that the dependency file cannot hold fails the weld with a
        # message that names it, and leaves no object for the next make.
        shutil.copy(os.path.join(src, "util.asm"), os.path.join(src, "it's.asm"))
        refused = subprocess.run(["make", "src/it's.obj"], cwd=self.project, env=env, capture_output=True,
                                 timeout=600)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn(b"symweld: can't write name to dependency file: src/it's.obj", refused.stdout)
        self.assertFalse(os.path.exists(os.path.join(src, "it's.obj")))
        os.remove(os.path.join(src, "it's.asm"))
        # A welded object whose name make cannot take as a target, without
        # a dependency file (welded by hand), stops no make.
        tool = os.path.join(prefix, "bin", "symweld")
        for name in ["se;mi", "t\tab"]:
            base = os.path.join(src, name)
            shutil.copy(os.path.join(src, "util.asm"), base + ".asm")
            subprocess.run([FASM, base + ".asm", base + ".obj", "-s", base + ".fas"], check=True,
                           capture_output=True, env=dict(env, INCLUDE=os.path.join(src, "inc")))
            subprocess.run([tool, base + ".fas", base + ".obj"], check=True, capture_output=True)
        self.assertEqual(self.rebuilt_after(lambda: None, run, with_plain), [])

    def test_find_package_version(self):
        """1.0 is found; 2.0 is not."""
        if not shutil.which("cmake"):
            self.skipTest("needs cmake")
        for wanted, found in [("1.0", True), ("2.0", False)]:
            project = os.path.join(self.folder, "version-" + wanted)
            os.makedirs(project)
            with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
                f.write("cmake_minimum_required(VERSION 3.16)\nproject(v NONE)\nfind_package(symweld %s)\n"
                        "if(NOT symweld_FOUND)\n  message(FATAL_ERROR not-found)\nendif()\n"
                        "get_target_property(tool symweld::symweld IMPORTED_LOCATION)\n"
                        "message(STATUS \"tool=${tool}\")\n" % wanted)
            result = subprocess.run(["cmake", "-S", project, "-B", os.path.join(project, "b"),
                                     "-DCMAKE_PREFIX_PATH=" + self.stage], capture_output=True, timeout=300)
            self.assertEqual(result.returncode == 0, found, result.stdout + result.stderr)
            if found:
                self.assertIn(("tool=%s/bin/symweld" % self.stage).encode(), result.stdout)

if __name__ == "__main__":
    unittest.main()
