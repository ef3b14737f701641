"""End-to-end welding: real fasm output in, judged by LLVM's readers and linker."""
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

import coff_reader
from e2e_support import (LLDB, PDBUTIL_NEW, WINE, BothBuilds, assemble, backslash_program, copy_programs,
                         image_section_addresses, kernel32_lib, line_at, link, lldb_disagreements, lldb_output,
                         pdb_arrays, pdb_dump, pdb_lines, pdb_procedures, pdb_records, pdb_source_paths, pdb_symbols, read_bytes,
                         readobj, run_measured, source_line, windows_tested, winedbg_bytes, winedbg_frames,
                         winedbg_place, winedbg_session, winedbg_shown_line)

# Signature, LF_LABEL, the build information's strings ("", "fasm", the main
# source) and LF_BUILDINFO.
DEBUG_T = bytes.fromhex("04000000" "06000e000000f2f1" "0a0005160000000000f3f2f1" "0e000516000000006661736d00f3f2f1"
                        "1200051600000000" + b"basic.asm".hex() + "00f2f1"
                        "1a00031605000110000002100000031000000110000001100000f2f1")


class Welding(BothBuilds):
    def consumers_agree(self, debugger=True):
        """Both linkers' PDBs hold the same lines and symbols, and lldb finds
        in its PDB what the line table and the symbols say."""
        if PDBUTIL_NEW:
            self.assertEqual(pdb_lines(self.folder, "out_new.pdb", PDBUTIL_NEW), pdb_lines(self.folder))
            self.assertEqual(pdb_records(self.folder, "out_new.pdb", PDBUTIL_NEW), pdb_records(self.folder))
        if debugger:
            self.assertEqual(lldb_disagreements(self.folder), [])

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="symweld-")
        copy_programs(self.folder)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def weld(self, tool, name, output=None, options=()):
        args = list(options) + [name + ".fas", name + ".obj"] + ([output] if output else [])
        result = tool.run(args, cwd=self.folder)
        self.assertEqual((result.returncode, result.stdout), (0, b""), result.stdout)
        return os.path.join(self.folder, output or name + ".obj")

    def test_basic_program_links_with_lines_and_symbols(self):
        assemble(self.folder, "basic")
        kernel32_lib(self.folder)
        for build, tool in self.each_tool():
            self.weld(tool, "basic", "basic_d.obj")
            readobj(self.folder, "basic_d.obj")
            result = link(self.folder, ["basic_d.obj", "kernel32.lib"], "start")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

            symbols = pdb_symbols(self.folder)
            obj = coff_reader.read(os.path.join(self.folder, "basic.obj"))
            self.assertEqual(symbols["start"], ("label", 1, 0, None))
            self.assertEqual(symbols["counter"][3], 0x75)
            self.assertEqual(symbols["byte_value"][3], 0x20)
            self.assertEqual(symbols["word_value"][3], 0x21)
            self.assertEqual(symbols["quad_value"][3], 0x23)
            self.assertEqual(symbols["ten_bytes"][3], 0x20)
            self.assertNotIn("", symbols)
            exported = obj.symbol("exported")[0]
            self.assertEqual(symbols["exported"][2], exported.value)

            lines = pdb_lines(self.folder)
            call_line = source_line(self.folder, "basic.asm", "call routine_in_include")
            macro_line = source_line(self.folder, "basic.asm", "load_twice eax, 5")
            # Both macro expansions map to the line that invoked the outer macro.
            self.assertIn(("basic.asm", 1, 0, macro_line), lines)
            self.assertIn(("basic.asm", 1, 8, macro_line), lines)
            self.assertIn(("basic.asm", 1, 16, call_line), lines)
            routine = symbols["routine_in_include"]
            self.assertIn(("routines.inc", 1, routine[2], source_line(self.folder, "routines.inc", "xor eax")),
                          lines)
            second = source_line(self.folder, "basic.asm", "mov eax, dword [quad_value]")
            self.assertIn(("basic.asm", symbols["second_code"][1], 0, second), lines)
            # Every row lies inside the code or data it describes; .bss has none.
            sizes = {symbols[label][1]: obj.section(name).raw_size
                     for label, name in [("start", ".text"), ("second_code", ".code2"), ("counter", ".data")]}
            self.assertNotIn(symbols["buffer"][1], {row[1] for row in lines})
            for file, section, offset, line in lines:
                self.assertLess(offset, sizes[section])
            self.consumers_agree()

    def test_object_is_kept_and_extended(self):
        assemble(self.folder, "basic")
        before = coff_reader.read(os.path.join(self.folder, "basic.obj"))
        for build, tool in self.each_tool():
            after = coff_reader.read(self.weld(tool, "basic", "out.obj"))
            n = len(before.sections)
            self.assertEqual([s.name for s in after.sections[n:]], [".debug$T", ".debug$S"])
            for s in after.sections[n:]:
                self.assertEqual(s.flags, 0x42100040)
            self.assertEqual(after.sections[n].contents, DEBUG_T)
            for old, new in zip(before.sections, after.sections):
                self.assertEqual(old.name, new.name)
                self.assertEqual(old.contents, new.contents)
                self.assertEqual(old.relocations, new.relocations)
                for a, b in [(old.raw_pointer, new.raw_pointer), (old.reloc_pointer, new.reloc_pointer)]:
                    self.assertEqual(b, a + 80 if a else 0)
                self.assertEqual(old.header[8:20] + old.header[32:], new.header[8:20] + new.header[32:])
            self.assertEqual((after.machine, after.timestamp, after.characteristics),
                             (before.machine, before.timestamp, before.characteristics))
            debug_s = after.sections[n + 1]
            self.assertEqual(after.symbol_pointer, before.symbol_pointer + 80 + len(DEBUG_T) + debug_s.raw_size +
                             10 * len(debug_s.relocations))
            for old in before.symbols:
                new = after.symbols[old.index]
                self.assertEqual((old.name, old.raw[8:], old.aux), (new.name, new.raw[8:], new.aux))
            added = after.symbols[len(before.symbols):]
            self.assertTrue(added)
            for s in added:
                self.assertEqual(s.storage, 3, s.name)
                self.assertNotEqual(s.name, "")
            # Every relocation pair: SECREL then SECTION, 4 bytes apart, same symbol.
            relocs = debug_s.relocations
            for first, second in zip(relocs[0::2], relocs[1::2]):
                self.assertEqual((first[2], second[2]), (0x0B, 0x0A))
                self.assertEqual((second[0] - first[0], first[1]), (4, second[1]))

    def test_output_is_deterministic_on_both_builds(self):
        assemble(self.folder, "basic")
        outputs = []
        for build, tool in self.each_tool():
            for run in range(2):
                self.weld(tool, "basic", "same.obj")
                outputs.append(read_bytes(os.path.join(self.folder, "same.obj")))
        self.assertEqual(len(set(outputs)), 1)

    def test_two_names_replace_the_object(self):
        assemble(self.folder, "basic")
        obj = os.path.join(self.folder, "basic.obj")
        shutil.copy(obj, os.path.join(self.folder, "keep.obj"))
        files = sorted(os.listdir(self.folder))
        for build, tool in self.each_tool():
            result = tool.run(["basic.fas", "keep.obj", "basic.obj"], cwd=self.folder)
            self.assertEqual(result.returncode, 0)
            three_names = read_bytes(obj)
            shutil.copy(os.path.join(self.folder, "keep.obj"), obj)
            self.weld(tool, "basic")
            self.assertEqual(read_bytes(obj), three_names)
            self.assertEqual(sorted(os.listdir(self.folder)), files)
            shutil.copy(os.path.join(self.folder, "keep.obj"), obj)

    def test_private_labels_of_two_objects_link(self):
        assemble(self.folder, "private_a")
        assemble(self.folder, "private_b")
        for build, tool in self.each_tool():
            self.weld(tool, "private_a", "a_d.obj")
            self.weld(tool, "private_b", "b_d.obj")
            result = link(self.folder, ["a_d.obj", "b_d.obj"], "entry_b")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.consumers_agree()

    def test_public_alias_does_not_capture_a_label(self):
        assemble(self.folder, "alias")
        for build, tool in self.each_tool():
            self.weld(tool, "alias", "alias_d.obj")
            readobj(self.folder, "alias_d.obj")
            result = link(self.folder, ["alias_d.obj"], "go")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            symbols = pdb_symbols(self.folder)
            self.assertEqual(symbols["first"], ("label", 1, 0, None))
            self.assertEqual(symbols["second"], ("label", 1, 2, None))
            self.consumers_agree()

    def test_many_labels_overflow_the_relocation_count(self):
        source = ("format MS COFF\npublic l1 as '_start'\nsection '.text' code readable executable\n"
                  "rept 34000 n { l#n: nop }\n        ret\n")
        assemble(self.folder, "many", source)
        cases = [(build, tool, ()) for build, tool in self.each_tool()] + [("native", self.native(), ("--procedures",))]
        for build, tool, options in cases:
            out = coff_reader.read(self.weld(tool, "many", "many_d.obj", options))
            debug_s = out.section(".debug$S")
            self.assertTrue(debug_s.flags & 0x01000000)
            self.assertEqual(debug_s.reloc_count, 0xFFFF)
            # A pair for each label's record and for each line table: one for
            # the section, or with procedures one for each procedure, and
            # one for each procedure's frame data.
            tables = 34000 if options else 1
            self.assertEqual(len(debug_s.relocations), 2 * (34000 + tables) + (34000 if options else 0))
            readobj(self.folder, "many_d.obj")
            result = link(self.folder, ["many_d.obj"], "start")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            if options:
                # One procedure of one byte for each label, the last to the ret.
                procedures = pdb_procedures(self.folder)
                self.assertEqual(len(procedures), 34000)
                self.assertEqual(procedures["l1"], ("gproc", 1, 0, 1))
                self.assertEqual(procedures["l34000"], ("lproc", 1, 33999, 2))
            else:
                symbols = pdb_symbols(self.folder)
                self.assertEqual(len(symbols), 34000)
                self.assertEqual(symbols["l34000"], ("label", 1, 33999, None))
            # Every row is one source line: lldb takes minutes to place a
            # breakpoint on a line with 34000 addresses.
            self.consumers_agree(debugger=False)

    def test_procedures_for_debuggers(self):
        """--procedures (native build): a procedure for each code label, with
        local labels and the data at its bytes in its scope, and arrays for
        data labels; both linkers, llvm-readobj, llvm-pdbutil and lldb take
        them. Without the option the object stays as it was; with it, the
        real programs link and lldb agrees with the PDB on them too."""
        tool = self.native()
        assemble(self.folder, "procedures")
        kernel32_lib(self.folder)
        outputs = set()
        for run in range(2):
            self.weld(tool, "procedures", "procedures_d.obj", ["--procedures"])
            outputs.add(read_bytes(os.path.join(self.folder, "procedures_d.obj")))
        self.assertEqual(len(outputs), 1)
        readobj(self.folder, "procedures_d.obj")
        result = link(self.folder, ["procedures_d.obj", "kernel32.lib"], "start")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.consumers_agree()
        records = [(kind, name, depth) for kind, name, sec, off, detail, depth in pdb_records(self.folder)]
        # twin_a and twin_b share an address: one procedure, the other a label in it.
        twin, other = (("twin_a", "twin_b") if ("lproc", "twin_a", 0) in records else ("twin_b", "twin_a"))
        self.assertEqual(records, [
            ("gproc", "start", 0), ("end", None, 1),
            ("gproc", "helper", 0), ("label", "helper.again", 1), ("end", None, 1),
            ("lproc", twin, 0), ("label", other, 1), ("data", "twin_b.message", 1), ("label", "twin_b.done", 1),
            ("end", None, 1),
            ("label", "text_end", 0), ("data", "greeting", 0), ("data", "table", 0), ("data", "single", 0),
            ("label", "in_data", 0), ("data", "pair", 0), ("data", "buffer", 0)])
        # Each runs to the next code label; the last to the section's end,
        # where text_end opens none.
        obj = coff_reader.read(os.path.join(self.folder, "procedures.obj"))
        procedures = pdb_procedures(self.folder)
        symbols = pdb_symbols(self.folder)
        self.assertEqual(procedures["start"][3], procedures["helper"][2])
        self.assertEqual(procedures["helper"][2] + procedures["helper"][3], procedures[twin][2])
        self.assertEqual(procedures[twin][2] + procedures[twin][3], obj.section(".text").raw_size)
        self.assertEqual(symbols["text_end"][2], obj.section(".text").raw_size)
        # Each procedure's frame data, as the linker put it in the PDB: its
        # address and length, and the ebp chain as its frame.
        bases = image_section_addresses(os.path.join(self.folder, "out.exe"))
        text_rva = bases[1] - 0x400000
        frames = re.findall(r"^([0-9A-F]{8}) \|\s+(\d+) \|.*\| (\$T0 .*)$", pdb_dump(self.folder, "-fpo"), re.M)
        self.assertEqual(sorted((int(rva, 16) - text_rva, int(size)) for rva, size, _ in frames),
                         sorted((p[2], p[3]) for p in procedures.values()))
        self.assertEqual({program.strip() for _, _, program in frames},
                         {"$T0 $ebp = $eip $T0 4 + ^ = $ebp $T0 ^ = $esp $T0 8 + ="})
        arrays = pdb_arrays(self.folder)
        self.assertEqual({name: arrays.get(symbols[name][3], symbols[name][3]) for name in
                          ["twin_b.message", "greeting", "table", "single", "pair", "buffer"]},
                         {"twin_b.message": (0x20, 7), "greeting": (0x20, 29), "table": (0x75, 16), "single": 0x21,
                          "pair": (0x21, 4), "buffer": (0x20, 64)})
        if LLDB:
            base = image_section_addresses(os.path.join(self.folder, "out_new.exe"))[1]
            text = lldb_output(self.folder, ["target variable greeting", "target variable table",
                                             "image lookup -a 0x%x" % (base + procedures["helper"][2] + 5)])
            self.assertIn('(unsigned char[29]) greeting = "Hello from a welded object!\\r\\n"', text)
            self.assertIn("(unsigned int[4]) table = ([0] = 1, [1] = 2, [2] = 3, [3] = 4)", text)
            self.assertIn("Summary: out_new.exe`helper + 5", text)
        # The programs the other cases weld: the same records apart from the
        # procedures, and every consumer agrees.
        for name, entry, extra in [("basic", "start", ["kernel32.lib"]), ("split", "start", [])]:
            assemble(self.folder, name)
            self.weld(tool, name, name + "_d.obj")
            self.assertEqual(link(self.folder, [name + "_d.obj"] + extra, entry).returncode, 0)
            plain = pdb_symbols(self.folder)
            plain_table = [(s.name, s.value, s.section, s.storage) for s in
                           coff_reader.read(os.path.join(self.folder, name + "_d.obj")).symbols]
            self.weld(tool, name, name + "_d.obj", ["--procedures"])
            # The records name the object's symbols that the default adds, in the same order.
            self.assertEqual([(s.name, s.value, s.section, s.storage) for s in
                              coff_reader.read(os.path.join(self.folder, name + "_d.obj")).symbols], plain_table)
            result = link(self.folder, [name + "_d.obj"] + extra, entry)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            if name != "split":
                readobj(self.folder, name + "_d.obj")
            self.consumers_agree()
            labels = {n: s[:3] for n, s in plain.items()}
            now = pdb_symbols(self.folder)
            now.update({n: ("label",) + p[1:3] for n, p in pdb_procedures(self.folder).items()})
            self.assertEqual({n: s[:3] for n, s in now.items()}, labels)


    def test_winedbg_steps_through_procedures(self):
        """winedbg on a program welded with --procedures and linked with
        lld-link /debug: breakpoints by label and by file and line, `next`
        line by line, `step` into a routine of the main file and of an
        include file, a backtrace that names the routines, and the whole
        text of a data label. Every place is judged by the line table that
        llvm-pdbutil reads from the PDB."""
        tool = self.native()
        if not windows_tested():
            self.skipTest("wine is not used in this run")
        assemble(self.folder, "stepping")
        self.weld(tool, "stepping", "stepping_d.obj", ["--procedures"])
        result = link(self.folder, ["stepping_d.obj", kernel32_lib(self.folder)], "start")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        rows = pdb_lines(self.folder)
        bases = image_section_addresses(os.path.join(self.folder, "out.exe"))
        procedures = {name: bases[p[1]] + p[2] for name, p in pdb_procedures(self.folder).items()}
        path = pdb_source_paths(self.folder)["stepping.asm"]

        def line(text, file_name="stepping.asm"):
            return (file_name, source_line(self.folder, file_name, text))
        entry = [line(text) for text in ["push    ebp", "mov     ebp, esp", "load_twice eax, 5", "call    count_down"]]
        second_call = line("call    routine_in_include")
        # The debugger's run is bounded by a plain run measured here: the
        # emulated machine is many times slower than wine run directly.
        code, _, plain = run_measured([WINE, "out.exe"], self.folder)
        self.assertEqual(code, 0)
        commands = ["break start", "break %s:%d" % (path, second_call[1]),
                    "cont", "bt", "next", "bt", "next", "bt", "next", "bt",
                    "step", "bt", "next", "next", "bt",
                    "cont", "bt", "step", "bt", "print greeting"]
        outputs, transcript = winedbg_session(self.folder, "out.exe", commands, bound=100 * plain)
        said = dict(zip(range(len(commands)), outputs))
        def where(number, text=None):
            """The stop that command `number` made, seen by its backtrace
            (the next command): address, procedure, (file, line). The line
            winedbg showed at the stop and the backtrace's both are the line
            table's for the address."""
            frames = winedbg_frames(said[number + 1])
            self.assertTrue(frames, transcript)
            address, name, place = frames[0]
            truth = line_at(rows, bases, address)
            self.assertEqual(place, truth, transcript)
            self.assertEqual(winedbg_shown_line(said[number]), truth[1], transcript)
            return address, name, place

        # Breakpoints: the label's address, and the first address of the line.
        for number, address in [(0, procedures["start"]),
                                (1, min(bases[s] + o for f, s, o, n in rows if (f, n) == second_call))]:
            found = re.search(r"Breakpoint %d at (0x[0-9a-fA-F]+)" % (number + 1), "\n".join(said[number]))
            self.assertTrue(found, transcript)
            self.assertEqual(int(found.group(1), 16), address, transcript)
            self.assertEqual(winedbg_place("\n".join(said[number])), line_at(rows, bases, address), transcript)
        # The entry's lines one by one, each where the table puts it.
        stops = [where(number) for number in [2, 4, 6, 8]]
        self.assertEqual(stops[0][:2], (procedures["start"], "start"), transcript)
        self.assertEqual([stop[2] for stop in stops], entry, transcript)
        # step enters the routine at its first line; past its frame's set-up
        # the backtrace names it and its caller, each with file and line.
        self.assertEqual(where(10)[:2], (procedures["count_down"], "count_down"), transcript)
        self.assertEqual(where(13)[2], line("mov     ecx, 2"), transcript)
        frames = winedbg_frames(said[14])
        self.assertEqual([frame[1] for frame in frames[:2]], ["count_down", "start"], transcript)
        return_address = frames[1][0]
        self.assertIn(frames[1][2], [line_at(rows, bases, return_address), line_at(rows, bases, return_address - 1)],
                      transcript)
        # The breakpoint by file and line stops there; step enters the
        # routine of the include file at its first line.
        self.assertEqual(where(15)[2], second_call, transcript)
        self.assertEqual(where(17), (procedures["routine_in_include"], "routine_in_include",
                                     line("xor eax", "routines.inc")), transcript)
        self.assertEqual(winedbg_bytes(said[19]), b"Hello from a welded object!\r\n", transcript)

    def test_sections_with_one_name_each_keep_their_lines(self):
        # Two sections named .text: llvm-readobj --codeview cannot list two
        # line tables whose section symbols share a name, but the linker
        # keeps both, and the PDB maps each to its file.
        assemble(self.folder, "split")
        for build, tool in self.each_tool():
            out = coff_reader.read(self.weld(tool, "split", "split_d.obj"))
            self.assertEqual([s.name for s in out.sections], [".text", ".text", ".debug$T", ".debug$S"])
            result = link(self.folder, ["split_d.obj"], "start")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            symbols = pdb_symbols(self.folder)
            lines = pdb_lines(self.folder)
            part = symbols["part_routine"]
            start = symbols["start"]
            self.assertIn(("split_part.inc", part[1], part[2], source_line(self.folder, "split_part.inc", "mov eax, 2")),
                          lines)
            self.assertIn(("split.asm", start[1], start[2], source_line(self.folder, "split.asm", "call part_routine")),
                          lines)
            self.consumers_agree()

    def test_source_digests(self):
        assemble(self.folder, "basic")
        include = os.path.join(self.folder, "routines.inc")
        # A source larger than any block the tool reads gets its true digest.
        with open(include, "a") as f:
            f.write("; padding\n" * 400000)
        digest = " ".join("%02X" % b for b in hashlib.md5(read_bytes(include)).digest())
        for build, tool in self.each_tool():
            self.weld(tool, "basic", "out.obj")
            self.assertIn("ChecksumBytes: (%s)" % digest, readobj(self.folder, "out.obj"))
        # A source that is gone, or is now a folder or a pipe, gets a zero
        # digest, without waiting for a writer that never comes.
        zero = "ChecksumBytes: (00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00)"
        for vanish in [os.remove, lambda path: (os.remove(path), os.mkdir(path)),
                       lambda path: (os.remove(path), os.mkfifo(path))]:
            vanish(include)
            for build, tool in self.each_tool():
                self.weld(tool, "basic", "out.obj")
                text = readobj(self.folder, "out.obj")
                self.assertEqual(text.count(zero), 1)
            if os.path.isdir(include):
                os.rmdir(include)
            elif os.path.lexists(include):
                os.remove(include)
            shutil.copy(os.path.join(self.folder, "macros.inc"), include)

    def test_backslash_names_get_their_digests_on_both_builds(self):
        """Includes named with backslashes, as Windows programs name them:
        each source gets its true digest, and both builds write one object."""
        sources = backslash_program(self.folder)
        app = os.path.join(self.folder, "app")
        outputs = set()
        for build, tool in self.each_tool():
            result = tool.run(["app.fas", "app.obj", "out.obj"], cwd=app)
            self.assertEqual((result.returncode, result.stdout), (0, b""))
            outputs.add(read_bytes(os.path.join(app, "out.obj")))
            text = readobj(app, "out.obj")
            digests = re.findall(r"Filename: (\S+) \(0x[0-9A-F]+\)\s+ChecksumSize: 0x10\s+ChecksumKind: MD5 \(0x1\)\s+"
                                 r"ChecksumBytes: \(([0-9A-F ]+)\)", text)
            expected = {}
            for name in sources:
                if name.endswith("macros.inc"):
                    continue  # no line of it makes code
                fas_name = os.path.relpath(os.path.join(self.folder, name), app).replace("/", "\\")
                expected[fas_name] = " ".join("%02X" % b for b in
                                              hashlib.md5(read_bytes(os.path.join(self.folder, name))).digest())
            self.assertEqual(dict(digests), expected)
        self.assertEqual(len(outputs), 1)


    def test_dependency_file(self):
        """--depfile (native build): the output, then the .fas, the object and
        every file fasm read, named as the run opens them and escaped as make
        and Ninja read them; written only by a weld that succeeded, never
        over an input."""
        tool = self.native()
        odd = os.path.join(self.folder, "a b#$:c")
        os.makedirs(os.path.join(odd, "lib"))
        for name in ["basic.asm", "routines.inc"]:
            shutil.copy(os.path.join(self.folder, name), odd)
        shutil.copy(os.path.join(self.folder, "macros.inc"), os.path.join(odd, "lib"))
        with open(os.path.join(odd, "basic.asm")) as f:
            text = f.read().replace("include 'macros.inc'", "include 'lib\\macros.inc'")
        with open(os.path.join(odd, "basic.asm"), "w") as f:
            f.write(text)
        assemble(odd, "basic")
        result = tool.run(["--depfile=deps.d", "a b#$:c/basic.fas", "a b#$:c/basic.obj", "out.obj"], cwd=self.folder)
        self.assertEqual((result.returncode, result.stdout), (0, b""))
        escaped = "a\\ b\\#$$\\:c/"
        self.assertEqual(read_bytes(os.path.join(self.folder, "deps.d")).decode(),
                         "out.obj: \\\n  %sbasic.fas \\\n  %sbasic.obj \\\n  %sbasic.asm \\\n  %slib/macros.inc"
                         " \\\n  %sroutines.inc\n" % ((escaped,) * 5) +
                         "".join("\n%s%s:\n" % (escaped, name) for name in ["basic.asm", "lib/macros.inc", "routines.inc"]))
        # make reads it back: out.obj, the newest, is up to date, which it
        # is only where every name leads to a file; an edited include is seen.
        with open(os.path.join(self.folder, "Makefile"), "w") as f:
            f.write("include deps.d\nout.obj:\n\t@true\n")
        base = time.time_ns() - 100 * 10 ** 9
        for name in ["basic.fas", "basic.obj", "basic.asm", "lib/macros.inc", "routines.inc"]:
            os.utime(os.path.join(odd, name), ns=(base, base))
        os.utime(os.path.join(self.folder, "out.obj"), ns=(base + 10 ** 10,) * 2)
        self.assertEqual(subprocess.run(["make", "-q", "out.obj"], cwd=self.folder).returncode, 0)
        os.utime(os.path.join(odd, "lib", "macros.inc"), ns=(base + 2 * 10 ** 10,) * 2)
        self.assertEqual(subprocess.run(["make", "-q", "out.obj"], cwd=self.folder).returncode, 1)
        # The object welded in place is no prerequisite of itself; a failed
        # weld writes none; no input is taken over.
        shutil.copy(os.path.join(odd, "basic.obj"), os.path.join(self.folder, "again.obj"))
        result = tool.run(["--depfile=again.d", "a b#$:c/basic.fas", "again.obj"], cwd=self.folder)
        self.assertEqual(result.returncode, 0)
        self.assertNotIn("again.obj \\", read_bytes(os.path.join(self.folder, "again.d")).decode())
        result = tool.run(["--depfile=failed.d", "a b#$:c/basic.fas", "again.obj"], cwd=self.folder)
        self.assertEqual(result.stdout, b"symweld: the object file already has debug info\n")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "failed.d")))
        before = read_bytes(os.path.join(odd, "routines.inc"))
        result = tool.run(["--depfile=a b#$:c/routines.inc", "a b#$:c/basic.fas", "a b#$:c/basic.obj", "o.obj"],
                          cwd=self.folder)
        self.assertEqual(result.stdout, b"symweld: dependency file is an input file\n")
        self.assertEqual(read_bytes(os.path.join(odd, "routines.inc")), before)

    def test_dependency_file_names_read_back_by_make_and_ninja(self):
        """Every byte value 1 to 255 in a source's name, a folder's and the
        output's: GNU make and Ninja read back exactly the names that the
        dependency file holds, or the run is refused, naming the file,
        before anything is written."""
        tool = self.native()
        work = self.folder.encode()
        program = "format MS COFF\nsection '.text' code readable executable\nstart: ret\ninclude 'sXq.inc'\n"
        os.makedirs(os.path.join(work, b"plain"))
        with open(os.path.join(work, b"plain/sXq.inc"), "w") as f:
            f.write("db 1\n")
        assemble(os.path.join(work, b"plain").decode(), "base", program)
        fas = read_bytes(os.path.join(work, b"plain/base.fas"))
        plain = [b"plain/base.fas", b"plain/base.obj", b"plain/base.asm", b"plain/sXq.inc"]
        # Ninja ends a name at these; make takes them as syntax.
        unfit = set(range(1, 32)) | {127} | set(b"\"&'*;<>?^`|=%")
        cases, refused = [], []
        for value in range(1, 256):
            byte = bytes([value])
            # One run holds the byte in all three: a folder whose name begins
            # with it holds the inputs, a source named in the .fas (opened
            # with "/" for "\\" as fasm on Linux opens it), and the output.
            # Where a folder cannot be so named, or make takes "~" at its
            # start for a home folder, a plain one holds them as well.
            for folder in [byte + b"d/"] + ([b"d%d/" % value] if value in b"/~" else []):
                if value == ord("/") and folder == b"/d/":
                    continue
                shutil.copytree(os.path.join(work, b"plain"), os.path.join(work, folder))
                source = b"s" + byte + b"q.inc"
                opened = folder + source.replace(b"\\", b"/")
                os.makedirs(os.path.dirname(os.path.join(work, opened)), exist_ok=True)
                os.rename(os.path.join(work, folder, b"sXq.inc"), os.path.join(work, opened))
                with open(os.path.join(work, folder, b"base.fas"), "wb") as f:
                    f.write(fas.replace(b"sXq.inc", source))
                output = folder + b"o" + byte + b"q.obj"
                os.makedirs(os.path.dirname(os.path.join(work, output)), exist_ok=True)
                inputs = [folder + b"base.fas", folder + b"base.obj"]
                self.weld_naming(tool, work, inputs + [output], inputs + [folder + b"base.asm", opened], opened,
                                 value in unfit or folder == b"~d/", cases, refused)
        print("byte values refused:", len(refused))
        # Names that read back otherwise in one of the two, made whole; the
        # wildcard would find oxq.obj.
        shutil.copy(os.path.join(work, b"plain/base.obj"), os.path.join(work, b"plain/oxq.obj"))
        fit = [b"plain/o\\\\q.obj", b"plain/o(x", b"plain/o[x", b"plain/o]x", b"(o)", b"plain/.PHONY"]
        for output in fit + [b"plain/o[x]q.obj", b"plain/o(x)", b".PHONY", b".//./.PHONY", b"./~q.obj", b"plain/o\\",
                             b"plain/o\\ q", b"plain/o\\#q", b"plain/o\\:q", b"plain/o\\$q", b"plain/o:"]:
            self.weld_naming(tool, work, plain[:2] + [output], plain, plain[2], output not in fit, cases, [])
        self.read_back_by_make_and_ninja(work, cases)

    def weld_naming(self, tool, cwd, args, listed, varying, unfit, cases, refused):
        """Welds with a dependency file of its own. A refused run names the
        file and writes nothing; a run that succeeds becomes a case for
        make and Ninja: (the output, the dependency file, the names listed,
        the one that changes)."""
        depfile = b"%d.d" % len(cases)
        result = tool.run([b"--depfile=" + depfile, b"--"] + args, cwd=cwd)
        case = (args, result.stdout)
        if result.returncode == 0:
            self.assertEqual((result.stdout, unfit), (b"", False), case)
            cases.append((args[2], depfile, listed, varying))
            return
        shown = [re.sub(rb"[\x00-\x1f\x7f]", lambda m: b"\\%03o" % m.group()[0], n) for n in args + listed]
        self.assertIn(result.stdout, [b"symweld: can't write name to dependency file: " + n + b"\n" for n in shown],
                      case)
        self.assertFalse(os.path.lexists(os.path.join(cwd, args[2])) or os.path.lexists(os.path.join(cwd, depfile)),
                         case)
        self.assertTrue(unfit, case)
        refused.append(args)

    def read_back_by_make_and_ninja(self, cwd, cases):
        """All at once: make and Ninja find every output up to date while
        its prerequisites are older, and every one out of date once the
        name that changes from case to case is newer; Ninja's log of what
        it read lists exactly the names."""
        base = time.time_ns() - 100 * 10 ** 9
        for output, depfile, listed, varying in cases:
            for name in listed:
                os.utime(os.path.join(cwd, name), ns=(base, base))
            os.utime(os.path.join(cwd, output), ns=(base + 10 ** 10,) * 2)
        with open(os.path.join(cwd, b"Makefile"), "wb") as f:
            f.write(b"include " + b" ".join(case[1] for case in cases) + b"\n%:: ; @printf '%s\\n' '$@' >>remade\n")
        ninja = [b"rule weld\n  command = true\n  depfile = $dep\n  description = W $out\n"
                 b"rule list\n  command = cp $dep $out.d && touch $out\n  depfile = $out.d\n  deps = gcc\n"]
        for i, (output, depfile, listed, varying) in enumerate(cases):
            target = output.replace(b"$", b"$$").replace(b" ", b"$ ").replace(b":", b"$:")
            ninja.append(b"build %s: weld\n  dep = %s\nbuild l%d: list\n  dep = %s\n" % (target, depfile, i, depfile))
        with open(os.path.join(cwd, b"build.ninja"), "wb") as f:
            f.write(b"".join(ninja))
        outputs = sorted(case[0] for case in cases)

        def remade_by_make():
            if os.path.exists(os.path.join(cwd, b"remade")):
                os.remove(os.path.join(cwd, b"remade"))
            result = subprocess.run([b"make", b"-k", b"--"] + outputs, cwd=cwd, stdin=subprocess.DEVNULL,
                                    capture_output=True)
            self.assertEqual(result.returncode, 0, result.stderr[-2000:])
            return sorted(read_bytes(os.path.join(cwd, b"remade")).splitlines()) if os.path.exists(
                os.path.join(cwd, b"remade")) else []

        def dirty_for_ninja():
            result = subprocess.run(["ninja", "-n"], cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True)
            self.assertEqual(result.returncode, 0, result.stdout[-2000:])
            # Ninja quotes a name for the shell where it must.
            return sorted(os.fsencode(shlex.split(os.fsdecode(name))[0])
                          for name in re.findall(rb"\] W (.*)", result.stdout))

        self.assertEqual(remade_by_make(), [])
        result = subprocess.run(["ninja"], cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True)
        self.assertEqual(result.returncode, 0, result.stdout[-2000:])
        self.assertEqual(dirty_for_ninja(), [])
        logged = subprocess.run(["ninja", "-t", "deps"], cwd=cwd, capture_output=True).stdout
        read = {}
        for line in logged.splitlines():
            if not line.startswith(b" ") and line:
                current = read.setdefault(line.split(b":")[0], [])
            elif line.startswith(b"    "):
                current.append(line[4:])
        for i, case in enumerate(cases):
            self.assertEqual(sorted(read.get(b"l%d" % i, [])), sorted(case[2]), case)
        for output, depfile, listed, varying in cases:
            os.utime(os.path.join(cwd, varying), ns=(base + 2 * 10 ** 10,) * 2)
        self.assertEqual(remade_by_make(), outputs)
        self.assertEqual(dirty_for_ninja(), outputs)


if __name__ == "__main__":
    unittest.main()
