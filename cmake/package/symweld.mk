# symweld.mk: Fasm sources to objects with CodeView debug information.
#
#   include /usr/share/symweld/symweld.mk
#   FASM_INCLUDE = include          # fasm's include folders, ';' apart
#   app.exe: main.obj util.obj
#           lld-link /debug /out:$@ $^ ...
#
# Each %.obj is made from %.asm by fasm (with -s %.fas) and welded in place
# by symweld, which also writes %.obj.d: the files fasm read. Those
# dependency files are included below, so that an edited include rebuilds
# exactly the objects that read it. FASM and SYMWELD name the programs.
FASM ?= fasm
SYMWELD ?= $(or $(wildcard $(dir $(lastword $(MAKEFILE_LIST)))../../bin/symweld),symweld)
FASM_INCLUDE ?=
# The dependency files of the objects below this folder.
SYMWELD_DEPFILES ?= $(shell find . -name '*.obj.d' -type f 2>/dev/null)

# An object that fasm wrote but symweld could not weld is removed, so that
# the next make tries again.
%.obj: %.asm
	$(if $(FASM_INCLUDE),INCLUDE='$(FASM_INCLUDE)') $(FASM) $< $@ -s $(@:.obj=.fas)
	$(SYMWELD) --depfile=$@.d $(@:.obj=.fas) $@ || { rm -f $@; exit 1; }

# The dependency files' rules must not become the default goal.
symweld_default_goal := $(.DEFAULT_GOAL)
-include $(SYMWELD_DEPFILES)
.DEFAULT_GOAL := $(symweld_default_goal)
