format MS64 COFF
section '.text' code readable executable
start:
        ret
