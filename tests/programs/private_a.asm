format MS COFF
public entry_a as '_entry_a'
section '.text' code readable executable
entry_a:
        call helper
        ret
helper:
        mov eax, 1
        ret
