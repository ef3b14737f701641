format MS COFF
include 'macros.inc'

extrn '__imp__ExitProcess@4' as ExitProcess:dword
public start as '_start'
public exported

section '.text' code readable executable
start:
        load_twice eax, 5
        call routine_in_include
@@:     dec eax
        jnz @b
@@:     nop
        call exported
        push 0
        call [ExitProcess]
exported:
        mov ecx, [counter]
        mov dl, [byte_value]
        ret
include 'routines.inc'

section '.code2' code readable executable
second_code:
        mov eax, dword [quad_value]
        ret

section '.data' data readable writeable
counter dd 7
byte_value db 1
word_value dw 2
quad_value dq 3
eightchr dd 4
ninechars dd 5
ten_bytes dt 1.0
text db 'hello',0

section '.bss' data readable writeable
buffer rb 100
