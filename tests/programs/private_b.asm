format MS COFF
public entry_b as '_entry_b'
extrn '_entry_a' as entry_a
section '.text' code readable executable
entry_b:
        call helper
        call entry_a
        ret
helper:
        mov eax, 2
        ret
