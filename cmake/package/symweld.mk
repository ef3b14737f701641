# symweld.mk: Fasm sources to objects with CodeView debug information.
#
#   include /usr/share/symweld/symweld.mk
#   FASM_INCLUDE = include          # fasm's include folders, ';' apart
#   app.exe: main.obj util.obj
#           lld-link /debug /out:$@ $^ ...
#
# Each %.obj is made from %.asm by fasm (with -s %.fas) and welded in place
# by symweld, which also writes %.obj.d: the ".fas", the source and the
# include files fasm read (not the files pulled in as raw bytes with `file`:
# the ".fas" does not name them). Those dependency files are included below,
# so that an edited include rebuilds exactly the objects that read it.
# FASM and SYMWELD name the programs; SYMWELD_FLAGS are options for every
# weld (a target's own value, `main.obj: SYMWELD_FLAGS += ...`, for one).
FASM ?= fasm
# The symweld installed beside this file, fixed now: MAKEFILE_LIST's last
# word is another makefile as soon as one more is read.
symweld_mk_folder := $(dir $(lastword $(MAKEFILE_LIST)))
ifeq ($(origin SYMWELD),undefined)
SYMWELD := $(or $(wildcard $(symweld_mk_folder)../../bin/symweld),symweld)
endif
SYMWELD_FLAGS ?=
FASM_INCLUDE ?=
# The dependency files of the objects below this folder.
SYMWELD_DEPFILES ?= $(shell find . -name '*.obj.d' -type f 2>/dev/null)

# An object that fasm wrote but symweld could not weld is removed, so that
# the next make tries again.
%.obj: %.asm
	$(if $(FASM_INCLUDE),INCLUDE='$(FASM_INCLUDE)') $(FASM) $< $@ -s $(@:.obj=.fas)
	$(SYMWELD) $(SYMWELD_FLAGS) --depfile=$@.d $(@:.obj=.fas) $@ || { rm -f $@; exit 1; }

# A ".fas" is made with its object. One that was deleted (a prerequisite in
# the dependency file) counts as changed, so its object is made again, as
# Ninja does, rather than stopping make. (A rule that names both as its
# targets would run twice: the object depends on the ".fas".)
%.fas: ;

# The dependency files' rules must not become the default goal.
symweld_default_goal := $(.DEFAULT_GOAL)
-include $(SYMWELD_DEPFILES)
.DEFAULT_GOAL := $(symweld_default_goal)
