format MS COFF
; The public name of `first` is the name of another label.
public first as 'second'
public go as '_go'
section '.text' code readable executable
first:
        nop
        nop
second:
        ret
go:
        call first
        ret
