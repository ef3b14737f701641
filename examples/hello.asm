; A small Windows console program for the demo: two code sections, an
; include file with code, macros, and data of several sizes.
format MS COFF

extrn '__imp__ExitProcess@4' as ExitProcess:dword
extrn '__imp__GetStdHandle@4' as GetStdHandle:dword
extrn '__imp__WriteFile@20' as WriteFile:dword
public start as '_start'

include 'console.inc'

section '.text' code readable executable
start:
        call    open_console
        say     greeting, greeting_length
        mov     ecx, 3
@@:     push    ecx
        say     tick, tick_length
        pop     ecx
        loop    @b
        call    finish
        push    eax
        call    [ExitProcess]

section '.text2' code readable executable
finish:
        movzx   eax, byte [exit_code]
        add     ax, [small_total]
        mov     edx, dword [big_total]
        ret

section '.data' data readable writeable
greeting        db 'Hello from a welded object!', 13, 10
greeting_length = $ - greeting
tick            db 'tick', 13, 10
tick_length     = $ - tick
exit_code       db 0
small_total     dw 0
lines_written   dd 0
big_total       dq 0
stdout_handle   dd ?
written         dd ?
