; A program to step through in winedbg (--procedures): a routine with a
; frame that a backtrace follows (ebp chained), a macro line, a loop, a
; call into a routine of an include file, and a text to print.
format MS COFF
include 'macros.inc'

extrn '__imp__ExitProcess@4' as ExitProcess:dword
public start as '_start'

section '.text' code readable executable
start:
        push    ebp
        mov     ebp, esp
        load_twice eax, 5
        call    count_down
        call    routine_in_include
        push    0
        call    [ExitProcess]
count_down:
        push    ebp
        mov     ebp, esp
        mov     ecx, 2
.again: dec     ecx
        jnz     .again
        movzx   eax, byte [greeting]
        pop     ebp
        ret
include 'routines.inc'

section '.data' data readable writeable
greeting db 'Hello from a welded object!', 13, 10
