#!/usr/bin/env python3
"""Writes a realistic fasm program of about N source lines into a folder:
code and data sections, a label every few lines, local labels, data of every
size, macros invoked from macros, 20 include files and anonymous labels."""
import os
import sys

INCLUDES = 20

MACROS = """\
macro clamp reg, low, high {
        cmp     reg, low
        jge     @f
        mov     reg, low
@@:     cmp     reg, high
        jle     @f
        mov     reg, high
@@:
}
macro accumulate target, value {
        clamp   eax, 0, value
        add     [target], eax
}
"""


def routine(k, lines):
    """A routine of roughly `lines` source lines; returns its text."""
    out = [f"routine_{k}:", "        push    ebx", "        xor     ebx, ebx"]
    body = 0
    while len(out) < lines - 4:
        out.append(f".step{body}:")
        out.append(f"        mov     eax, [table_{k % 97} + ebx*4]")
        out.append(f"        accumulate total_{k % 89}, {body + 10}")
        out.append(f"        inc     ebx")
        out.append(f"        cmp     ebx, {body % 7 + 2}")
        out.append(f"        jb      .step{body}")
        body += 1
    out += ["        pop     ebx", "        ret", ""]
    return out


def data(k):
    return [f"table_{k} dd {', '.join(str(k * 4 + i) for i in range(4))}",
            f"flag_{k} db {k % 256}",
            f"half_{k} dw {k % 65536}",
            f"wide_{k} dq {k * 1000003}",
            f"text_{k} db 'message {k}', 0",
            f"total_{k} dd 0", ""]


def main():
    folder, target = sys.argv[1], int(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    per_file = target // (INCLUDES + 1)
    routines = 0
    names = []
    for f in range(INCLUDES):
        lines = ["section '.text' code readable executable", ""]
        while len(lines) < per_file - 40:
            lines += routine(routines, 30)
            routines += 1
        name = f"part{f:02d}.inc"
        names.append(name)
        with open(os.path.join(folder, name), "w") as out:
            out.write("\n".join(lines) + "\n")
    main_lines = ["format MS COFF", "public start as '_start'", MACROS]
    main_lines += [f"include '{name}'" for name in names]
    main_lines += ["section '.text' code readable executable", "start:"]
    main_lines += [f"        call    routine_{k}" for k in range(0, routines, max(1, routines // 200))]
    main_lines += ["        ret", "", "section '.data' data readable writeable"]
    for k in range(max(97, 89)):
        main_lines += data(k)
    k = 97
    while len(main_lines) < per_file:
        main_lines += data(k)
        k += 1
    with open(os.path.join(folder, "main.asm"), "w") as out:
        out.write("\n".join(main_lines) + "\n")


if __name__ == "__main__":
    main()
