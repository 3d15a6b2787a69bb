# The two commands of a fresh Debian machine: `make run` and `make test`.
# Each installs what is missing from Debian's packages, then configures and builds.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
SCENARIO   ?=

# Debian packages the build needs, with a file each one installs to tell it is there.
PACKAGES := \
  cmake:/usr/bin/cmake \
  make:/usr/bin/make \
  g++:/usr/bin/g++ \
  clang:/usr/bin/clang++ \
  lld:/usr/bin/lld-link \
  pkg-config:/usr/bin/pkg-config \
  libunicorn-dev:/usr/include/unicorn/unicorn.h \
  libgoogle-perftools-dev:/usr/include/gperftools/tcmalloc.h \
  libcapstone-dev:/usr/include/capstone/capstone.h \
  libdw-dev:/usr/include/elfutils/libdw.h \
  libtomlplusplus-dev:/usr/include/toml++/toml.h \
  libcli11-dev:/usr/include/CLI/CLI.hpp \
  nlohmann-json3-dev:/usr/include/nlohmann/json.hpp \
  libgtest-dev:/usr/include/gtest/gtest.h \
  libgmock-dev:/usr/include/gmock/gmock.h \
  binutils:/usr/bin/objdump \
  llvm:/usr/bin/llvm-symbolizer \
  gdb-multiarch:/usr/bin/gdb-multiarch \
  lcov:/usr/bin/genhtml \
  uefitool-cli:/usr/bin/UEFIExtract \
  coreboot-utils:/usr/sbin/cbfstool \
  python3:/usr/bin/python3 \
  libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a

# Sub-makes of the build do not announce each directory they enter and leave.
MAKEFLAGS += --no-print-directory

# Unicorn 2.1 or newer: the system's where it is new enough, else unpacked here (cmake/unicorn.sh).
UNICORN := $(CURDIR)/.deps/unicorn

MISSING = $(foreach p,$(PACKAGES),$(if $(wildcard $(word 2,$(subst :, ,$(p)))),,$(word 1,$(subst :, ,$(p)))))

.PHONY: all deps unicorn build build-run run test fuzz-target fuzz-target-test coverage format clean

all: build

deps:
	@missing="$(strip $(MISSING))"; \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

unicorn: deps
	@sh cmake/unicorn.sh $(UNICORN)

$(BUILD)/CMakeCache.txt: | deps unicorn
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPEIBOARD_UNICORN_PREFIX=$(UNICORN)/usr

build: deps unicorn $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only what a boot needs: peiboard, the module's image, its link map and its debug file.
build-run: deps unicorn $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS) --target peiboard > $(BUILD)/build.log 2>&1 || \
	  { cat $(BUILD)/build.log; exit 1; }

# Boots the module on the default emulated board (or SCENARIO=path/to/file.toml) and shows the
# report alone: the build's own output appears only when the build fails.
run: build-run
	@$(BUILD)/cli/peiboard run $(SCENARIO)

# Builds everything and passes every test: the normal build, then the host side again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the libFuzzer target's test.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@if [ ! -f $(ASAN_BUILD)/CMakeCache.txt ]; then \
	  cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPEIBOARD_SANITIZE=ON \
	    -DPEIBOARD_UNICORN_PREFIX=$(UNICORN)/usr; fi
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) fuzz-target-test

# The libFuzzer target (fuzz/libfuzzer_target.cpp): clang's -fsanitize=fuzzer, so a build of its
# own with clang, holding only the target, the board's command and the module's images.
$(FUZZ_BUILD)/CMakeCache.txt: | deps unicorn
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPEIBOARD_UNICORN_PREFIX=$(UNICORN)/usr

fuzz-target: deps unicorn $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target peiboard_libfuzzer peiboard firmware_planted

# Finds the planted fault with it, within a bounded number of runs.
fuzz-target-test: fuzz-target
	cd $(FUZZ_BUILD) && ctest --output-on-failure -R '^peiboard_libfuzzer_target$$'

# Coverage of the module's source lines and branches over every scenario file and every boot
# the module tests make, merged into one lcov tracefile and rendered as HTML in $(COVERAGE).
COVERAGE := $(BUILD)/coverage
LCOV_RC  := --rc lcov_branch_coverage=1
coverage: build
	rm -rf $(COVERAGE) && mkdir -p $(COVERAGE)/tests
	$(BUILD)/cli/peiboard coverage scenarios/*.toml tests/scenarios/*.toml \
	  --lcov $(COVERAGE)/scenarios.info
	PEIBOARD_COVERAGE_DIR=$(abspath $(COVERAGE)/tests) $(BUILD)/tests/module_tests --gtest_brief=1
	lcov --quiet $(LCOV_RC) --output-file $(COVERAGE)/coverage.info \
	  $$(for f in $(COVERAGE)/scenarios.info $(COVERAGE)/tests/*.info; do echo "-a $$f"; done)
	genhtml --quiet --branch-coverage --title QuarnelPeiSystemBoardOverride \
	  --output-directory $(COVERAGE) $(COVERAGE)/coverage.info
	lcov $(LCOV_RC) --summary $(COVERAGE)/coverage.info
	@echo "HTML: $(COVERAGE)/index.html"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) .deps
