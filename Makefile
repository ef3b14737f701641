# Quick start: `make demo` and `make check`. Both install what is missing.
JOBS ?= $(shell nproc)
NATIVE := build/native
WIN32 := build/win32
ASAN := build/asan

# Every step prints one line, its warnings and its results; a step that fails
# prints its whole output. V=1 prints everything as it comes.
QUIETLY := scripts/quietly
# $(call configure_and_build,NAME,FOLDER,CMAKE OPTIONS): one quiet step.
# (--no-warn-unused-cli: a toolchain file given again to a configured
# folder is not worth a warning.)
configure_and_build = $(QUIETLY) "building $(1)" sh -c 'cmake --no-warn-unused-cli -DSYMWELD_WERROR=ON -S . -B $(2) $(3) \
  && cmake --build $(2) -j $(JOBS)'

.PHONY: all deps native win32 asan demo check check-win32 check-fresh test-native test-asan fuzz-build fuzz fuzz-smoke memcheck bench dist install clean

all: native win32

deps:
	@scripts/install-deps.sh

win32: deps
	@$(call configure_and_build,win32 (symweld.exe),$(WIN32),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release)

native: deps win32
	@$(call configure_and_build,native,$(NATIVE),-DCMAKE_BUILD_TYPE=Release -DSYMWELD_WIN32_EXE=$(abspath $(WIN32))/symweld.exe)

asan: deps
	@$(call configure_and_build,sanitizer build (AddressSanitizer + UBSan),$(ASAN),-DCMAKE_BUILD_TYPE=Debug -DSYMWELD_SANITIZE=ON)

demo: native
	@examples/demo.sh $(NATIVE)/symweld

# The Windows build's cases run through scripts/wine: an emulated machine
# that it starts for them (where this machine cannot start wine) belongs to
# the recipe's shell, and ends with it, also on Ctrl-C.
WINDOWS_SUITES := '^(wine_prefix|e2e_test|e2e_weld_test|e2e_failure_test.*|package_test)$$'

test-native: native
	@echo "== testing native and win32 builds"
	@cd $(NATIVE) && SYMWELD_GUEST_OWNER=$$$$ ctest --output-on-failure -j $(JOBS); status=$$?; \
	  $(CURDIR)/scripts/wine --stop; exit $$status

# The Windows build's cases alone.
check-win32: native
	@echo "== testing win32 build"
	@cd $(NATIVE) && SYMWELD_BUILDS=windows SYMWELD_GUEST_OWNER=$$$$ ctest --output-on-failure -j $(JOBS) \
	  -R $(WINDOWS_SUITES); status=$$?; $(CURDIR)/scripts/wine --stop; exit $$status

# The sanitizer build runs every test, the end-to-end cases included.
test-asan: asan
	@echo "== testing sanitizer build"
	@cd $(ASAN) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

# Fuzzing: each harness runs FUZZ_SECONDS (make fuzz), or a few seconds as
# a smoke run inside make check.
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60

fuzz-build: deps
	@$(call configure_and_build,fuzz harnesses,$(FUZZ),-DCMAKE_CXX_COMPILER=$$(scripts/llvm-tool clang++) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYMWELD_SANITIZE=ON -DSYMWELD_FUZZ=ON -DSYMWELD_TESTS=OFF)
	@$(QUIETLY) "making fuzz seeds" fuzz/make_seeds.sh $(FUZZ)/seeds

fuzz: fuzz-build
	@echo "== fuzzing, $(FUZZ_SECONDS) s per harness"
	@fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	@echo "== fuzzing, 5 s per harness"
	@fuzz/run.sh $(FUZZ) 5

# The end-to-end cases once under valgrind: no invalid access, and no byte of
# the heap written out before the tool wrote it.
MEMCHECK := build/memcheck
memcheck: deps
	@$(call configure_and_build,valgrind build,$(MEMCHECK),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYMWELD_VALGRIND=ON)
	@echo "== testing under valgrind"
	@cd $(MEMCHECK) && SYMWELD_VALGRIND_TOOL=$(abspath $(MEMCHECK))/symweld \
	  ctest --output-on-failure -R e2e

# Speed against the floor of the job and against fasm; prints figures only.
bench: native
	@python3 bench/run.py $(abspath $(NATIVE))/symweld $(abspath $(NATIVE))/bench/bench_floor build/bench

check: test-native test-asan fuzz-smoke

# `make demo` and `make check` as a new user runs them, in fresh minimal
# roots of Debian 13 and 12 made with debootstrap (needs root).
check-fresh:
	@scripts/check-fresh.sh $(FRESH_RELEASES)

# The .deb, the Linux tarball and the Windows zip, reproducibly, with their
# SHA-256 sums.
dist: native
	@scripts/dist.sh $(NATIVE)/symweld $(WIN32)/symweld.exe build/dist
	@cat build/dist/*.sha256

# make install [PREFIX=/usr/local] [DESTDIR=staging folder]
PREFIX ?= /usr/local
install: native
	DESTDIR=$(DESTDIR) cmake --install $(NATIVE) --prefix $(PREFIX) --strip

clean:
	rm -rf build
