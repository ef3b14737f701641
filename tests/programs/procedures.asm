; Procedure records (--procedures): public and private routines, local
; labels, two labels at one address, data inside a routine, a label at the
; end of a section, and data labels that cover more than one element.
format MS COFF

extrn '__imp__ExitProcess@4' as ExitProcess:dword
public start as '_start'
public helper

section '.text' code readable executable
start:
        call    helper
        call    twin_a
        push    eax
        call    [ExitProcess]
helper:
        mov     ecx, 3
.again: dec     ecx
        jnz     .again
        mov     eax, [table]
        ret
twin_a:
twin_b:
        movzx   eax, byte [greeting]
        jmp     .done
.message db 'inline', 0
.done:  ret
text_end:

section '.data' data readable writeable
greeting db 'Hello from a welded object!', 13, 10
table    dd 1, 2, 3, 4
single   dw 5
in_data:
pair     dw 6, 7

section '.bss' data readable writeable
buffer rb 64
