format MS COFF
public start as '_start'
include 'split_part.inc'
section '.text' code readable executable
start:
        call part_routine
        ret
