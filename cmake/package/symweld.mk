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
# so that an edited include rebuilds exactly the objects that read it; an
# object whose dependency file is missing is made again.
# FASM and SYMWELD name the programs; SYMWELD_FLAGS are options for every
# weld (a target's own value, `main.obj: SYMWELD_FLAGS += ...`, for one).
FASM ?= fasm
# A name as one word for the shell: in single quotes, each quote in it
# closed, escaped and opened again. File names reach the shell only so.
symweld_quote = '$(subst ','\'',$1)'
# The symweld installed beside this file, fixed now: MAKEFILE_LIST's last
# word is another makefile as soon as one more is read.
symweld_mk_folder := $(dir $(lastword $(MAKEFILE_LIST)))
ifeq ($(origin SYMWELD),undefined)
# A blank in this file's folder splits MAKEFILE_LIST's last word: the
# folder is then not known, and saying so beats running another symweld.
ifeq ($(wildcard $(symweld_mk_folder)symweld.mk),)
$(warning symweld.mk: its folder has a blank in its name; SYMWELD is symweld from the PATH unless you set it)
endif
symweld_installed := $(wildcard $(symweld_mk_folder)../../bin/symweld)
SYMWELD := $(if $(symweld_installed),$(call symweld_quote,$(symweld_installed)),symweld)
endif
SYMWELD_FLAGS ?=
FASM_INCLUDE ?=
# Names found by `find`, one a line, as make words: blanks, ':' and '%'
# take a backslash.
symweld_make_words := sed 's/[ :%]/\\&/g'
# The dependency files of the objects below this folder.
SYMWELD_DEPFILES ?= $(shell find . -name '*.obj.d' -type f 2>/dev/null | $(symweld_make_words))
# The welded objects below this folder that lie beside their source but
# have no dependency file (it was deleted): what they include is not
# known, so they are made again. (An object that fasm alone makes, by a
# rule of the user's, has no debug section and is left alone; a name with
# ';' or a tab cannot be a target of a rule here.)
symweld_undepended := $(shell find . -name '*.asm' -type f 2>/dev/null | \
  while IFS= read -r s; do o="$${s%.asm}.obj"; \
    if [ -f "$$o" ] && [ ! -e "$$o.d" ] && grep -q 'debug$$S' "$$o"; then printf '%s\n' "$$o"; fi; \
  done | grep -v -e ';' -e "$$(printf '\t')" | $(symweld_make_words))

# An object that fasm or symweld did not finish is removed, so that the
# next make tries again (fasm leaves what it wrote when a write fails).
%.obj: %.asm
	$(if $(FASM_INCLUDE),INCLUDE=$(call symweld_quote,$(FASM_INCLUDE))) $(FASM) $(call symweld_quote,$<) \
	  $(call symweld_quote,$@) -s $(call symweld_quote,$*.fas) || { rm -f $(call symweld_quote,$@); exit 1; }
	$(SYMWELD) $(SYMWELD_FLAGS) $(call symweld_quote,--depfile=$@.d) $(call symweld_quote,$*.fas) \
	  $(call symweld_quote,$@) || { rm -f $(call symweld_quote,$@); exit 1; }

# A ".fas" is made with its object. One that was deleted (a prerequisite in
# the dependency file) counts as changed, so its object is made again, as
# Ninja does, rather than stopping make. (A rule that names both as its
# targets would run twice: the object depends on the ".fas".)
%.fas: ;

# Neither these rules nor the dependency files' may become the default goal.
symweld_default_goal := $(.DEFAULT_GOAL)
$(symweld_undepended): symweld-depfile-missing
.PHONY: symweld-depfile-missing
symweld-depfile-missing: ;
-include $(SYMWELD_DEPFILES)
.DEFAULT_GOAL := $(symweld_default_goal)
