#!/usr/bin/env python3
"""Benchmarks symweld against the floor of its job and against fasm.

For each program size: the median wall time of several runs, the time per
assembled line, peak resident memory, input and output sizes, and, measured
in the same run on the same files, the time with --procedures (procedure
records and array types), the floor (read the .fas, the object and
every source, hash the sources, write an output of the same size) and the
time fasm takes to assemble the program. Figures are printed, not judged."""
import os
import statistics
import struct
import subprocess
import sys

FASM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "fasm")

HERE = os.path.dirname(os.path.abspath(__file__))


MEASURE = None
# Outputs that each timed run writes afresh: the default and --procedures.
NEW_OUTPUTS = ("new.obj", "procedures.obj")


def timed(command, cwd):
    """Wall seconds, peak resident KiB and processor seconds of one run of
    the command."""
    result = subprocess.run([MEASURE] + command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("failed: " + " ".join(command))
    ns, kib, cpu = result.stderr.decode().split()[-3:]
    return int(ns) / 1e9, int(kib), int(cpu) / 1e9


def median_of(command, cwd, runs):
    results = [timed(command, cwd) for _ in range(runs)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


def interleaved(commands, cwd, runs):
    """Runs the commands in turn, round after round, so that a slow spell of
    the machine falls on all of them alike. For each: median, fastest and
    slowest wall time, the peak memory and the median processor time."""
    results = [[] for _ in commands]
    for _ in range(runs):
        for command, found in zip(commands, results):
            prepare_output(command, cwd)
            found.append(timed(command, cwd))
    summary = []
    for found in results:
        times = [r[0] for r in found]
        summary.append((statistics.median(times), min(times), max(times), max(r[1] for r in found),
                        statistics.median(r[2] for r in found)))
    return summary


def prepare_output(command, cwd):
    """Outside the timed run: new.obj must not exist, and out.obj keeps a
    second name, so that replacing it frees no blocks in the timed run
    either. The two runs then differ only in the check of the inputs that
    an existing output needs."""
    if command[0] == MEASURE or command[-1] not in NEW_OUTPUTS + ("out.obj",):
        return
    held = os.path.join(cwd, "held.obj")
    if os.path.exists(held):
        os.remove(held)
    if command[-1] in NEW_OUTPUTS and os.path.exists(os.path.join(cwd, command[-1])):
        os.remove(os.path.join(cwd, command[-1]))
    if command[-1] == "out.obj":
        os.link(os.path.join(cwd, "out.obj"), held)


def count_lines(folder):
    total = 0
    for name in os.listdir(folder):
        if name.endswith((".asm", ".inc")):
            with open(os.path.join(folder, name), "rb") as f:
                total += f.read().count(b"\n")
    return total


def symbol_count(folder):
    """Symbols the .fas file lists: labels, local labels and data."""
    with open(os.path.join(folder, "main.fas"), "rb") as f:
        header = f.read(32)
    return struct.unpack_from("<I", header, 28)[0] // 32


def size(folder, name):
    return os.path.getsize(os.path.join(folder, name))


def bench(symweld, floor, root, lines, runs):
    folder = os.path.join(root, f"{lines}")
    if not os.path.exists(os.path.join(folder, "main.asm")):
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), folder, str(lines)], check=True)
    fasm_time, _ = median_of([FASM, "-m", "2000000", "main.asm", "main.obj", "-s", "main.fas"], folder,
                             max(1, runs // 2))
    sources = sorted(n for n in os.listdir(folder) if n.endswith((".asm", ".inc")))
    if not os.path.exists(os.path.join(folder, "out.obj")):
        timed([symweld, "main.fas", "main.obj", "out.obj"], folder)
    out_size = size(folder, "out.obj")
    floor_args = ["main.fas", "main.obj", str(out_size), "floor.out"] + sources
    # out.obj exists, as on every rebuild: the run also makes sure that it is
    # none of the files the program was assembled from. new.obj does not.
    (tool_time, tool_min, tool_max, tool_rss, _), (new_time, new_min, _, _, new_cpu), \
        (floor_time, floor_min, floor_max, _, _), (replace_time, _, _, _, _), \
        (procedures_time, procedures_min, procedures_max, procedures_rss, procedures_cpu) = \
        interleaved([[symweld, "main.fas", "main.obj", "out.obj"], [symweld, "main.fas", "main.obj", "new.obj"],
                     [floor] + floor_args, [floor, "--replace"] + floor_args,
                     [symweld, "--procedures", "main.fas", "main.obj", "procedures.obj"]], folder, runs)
    _, bare_rss = median_of([symweld, "-h"], folder, 1)
    largest = max(size(folder, n) for n in sources)
    inputs = size(folder, "main.fas") + size(folder, "main.obj")
    source_lines = count_lines(folder)
    return {
        "lines": source_lines, "symbols": symbol_count(folder), "fasm": fasm_time, "symweld": tool_time, "floor": floor_time,
        "floor_replacing": replace_time, "new_output": new_time,
        "procedures": procedures_time, "procedures_range": (procedures_min, procedures_max),
        "new_output_cpu": new_cpu, "procedures_cpu": procedures_cpu, "new_output_min": new_min,
        "procedures_rss": procedures_rss * 1024, "procedures_out": size(folder, "procedures.obj"),
        "symweld_range": (tool_min, tool_max), "floor_range": (floor_min, floor_max),
        "rss": tool_rss * 1024, "bare": bare_rss * 1024, "fas": size(folder, "main.fas"), "obj": size(folder, "main.obj"),
        "out": out_size, "largest": largest, "inputs": inputs,
    }


def mib(n):
    return f"{n / 1048576:.1f} MiB"


def main():
    global MEASURE
    symweld, floor, root = (os.path.abspath(a) for a in sys.argv[1:4])
    MEASURE = os.path.join(os.path.dirname(floor), "bench_measure")
    sizes = [int(s) for s in os.environ.get("BENCH_SIZES", "10000 100000 1000000").split()]
    runs = int(os.environ.get("BENCH_RUNS", "9"))
    os.makedirs(root, exist_ok=True)
    rows = []
    for lines in sizes:
        r = bench(symweld, floor, root, lines, runs)
        rows.append(r)
        per_line = r["symweld"] / r["lines"] * 1e9
        budget = 2 * (r["fas"] + r["obj"] + r["out"] + r["largest"])
        print(f"== {r['lines']} source lines")
        spread = lambda key: f"{r[key][0] * 1000:.1f} to {r[key][1] * 1000:.1f} ms"
        print(f"   symweld  {r['symweld'] * 1000:9.1f} ms  ({per_line:.0f} ns per line, median of {runs}, output exists, "
              f"{spread('symweld_range')})")
        print(f"   the same writing a new output {r['new_output'] * 1000:.1f} ms: the existing output costs "
              f"{(r['symweld'] / r['new_output'] - 1) * 100:+.1f} % (the check of the inputs, and the file "
              f"system's own cost of replacing a name)")
        print(f"   --procedures {r['procedures'] * 1000:.1f} ms writing a new output "
              f"({spread('procedures_range')}): {(r['procedures'] / r['new_output'] - 1) * 100:+.1f} % over the "
              f"default, peak RSS {mib(r['procedures_rss'])}, output {mib(r['procedures_out'])}")
        print(f"   processor time, new output: default {r['new_output_cpu'] * 1000:.1f} ms, --procedures "
              f"{r['procedures_cpu'] * 1000:.1f} ms ({(r['procedures_cpu'] / r['new_output_cpu'] - 1) * 100:+.1f} %); "
              f"fastest runs: {(r['procedures_range'][0] / r['new_output_min'] - 1) * 100:+.1f} % in wall time")
        print(f"   {r['symbols']} symbols, {r['symweld'] / r['symbols'] * 1e9:.0f} ns per symbol")
        print(f"   floor    {r['floor'] * 1000:9.1f} ms  symweld / floor = {r['symweld'] / r['floor']:.2f}  "
              f"({spread('floor_range')})")
        print(f"   floor, output written beside and renamed as the tool does {r['floor_replacing'] * 1000:.1f} ms, "
              f"symweld / that = {r['symweld'] / r['floor_replacing']:.2f}")
        print(f"   fasm     {r['fasm'] * 1000:9.1f} ms  symweld / fasm  = {r['symweld'] / r['fasm']:.2f}")
        print(f"   peak RSS {mib(r['rss'])}, {mib(r['rss'] - r['bare'])} above a bare start "
              f"(budget 2 x inputs, output and largest source = {mib(budget)})")
        print(f"   .fas {mib(r['fas'])}, .obj {mib(r['obj'])}, output {mib(r['out'])}, "
              f"largest source {mib(r['largest'])}")
    if len(rows) > 1:
        first, last = rows[0], rows[-1]
        growth = (last["symweld"] / last["lines"]) / (first["symweld"] / first["lines"])
        print(f"== time per line at {last['lines']} / at {first['lines']} lines: {growth:.2f}")
        by_symbol = [(r["symbols"], r["symweld"] / r["symbols"]) for r in rows]
        print("== time per symbol: " + ", ".join(f"{n} symbols {t * 1e9:.0f} ns" for n, t in by_symbol) +
              f"; largest / smallest = {by_symbol[-1][1] / by_symbol[0][1]:.2f}")


if __name__ == "__main__":
    main()
