# The two commands of the README: `make run` and `make test`.
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-sanitize
CMAKE_FLAGS += -DKEYNOOK_SANITIZE=ON
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0
else
CMAKE_FLAGS += -DKEYNOOK_SANITIZE=OFF
endif
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
# Where the build puts the program (src/CMakeLists.txt gives it a folder of
# its own); `make run` starts it from there and its vault lives beside it.
PROGRAM := $(BUILD_DIR)/bin/keynook
VAULT := $(dir $(PROGRAM))data.enc
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test bench format clean

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Only the program itself: the tests and the command line wait for
# `make test`, so a fresh clone shows its window in a fraction of the time.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target keynook
	$(PROGRAM)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Benchmarks are built and run only here, never by `make test`.
bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target keynook_benchmarks
	cd $(BUILD_DIR) && ./bench/run-benchmarks

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The vault of `make run` lives in the build folder: never delete it silently.
clean:
	@if [ -e $(VAULT) ]; then \
		echo "$(VAULT) holds a Keynook vault; move it away first."; exit 1; fi
	rm -rf $(BUILD_DIR)

# Installing as a desktop program: the program, its help file, launcher,
# icons, metainfo and manual pages under $(PREFIX). Only the programs
# themselves need building. The list of installed files is $(BUILD_DIR)/install_manifest.txt.
PREFIX ?= /usr/local
.PHONY: install package

install: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target keynook keynook-cli
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# A Debian package of the same files under /usr, written into $(BUILD_DIR).
# (cpack builds everything first, as `make build` does.)
package: build
	cd $(BUILD_DIR) && cpack -G DEB
