# Front door of the build. Every target installs what it needs first, so a
# fresh machine needs nothing but `make test`.
BUILD      ?= build
BUILD_TYPE ?= Release
JOBS       ?= 2
# WERROR=ON fails the build on any compiler warning (CI sets it).
WERROR     ?= OFF
# Optional build settings, passed to CMake only when given.
CMAKE_SETTINGS := $(if $(TESSIK_UPDATE_HOST),-DTESSIK_UPDATE_HOST=$(TESSIK_UPDATE_HOST)) \
                  $(if $(TESSIK_LAUNCHER_VERSION),-DTESSIK_LAUNCHER_VERSION=$(TESSIK_LAUNCHER_VERSION)) \
                  $(if $(TESSIK_RELEASE_PUBLIC_KEY),-DTESSIK_RELEASE_PUBLIC_KEY=$(TESSIK_RELEASE_PUBLIC_KEY))
# The taskbar button shows the download's progress (recommended; the demo uses it).
TESSIK_TASKBAR_PROGRESS ?= OFF

.PHONY: deps configure build test test-hostile check demo bench bench-quick clean format

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTESSIK_WERROR=$(WERROR) $(CMAKE_SETTINGS) \
	      -DTESSIK_TASKBAR_PROGRESS=$(TESSIK_TASKBAR_PROGRESS)

# What a user runs: the launcher, the release tool and the demo's game. Each
# target below builds what it runs besides.
build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cmake --build $(BUILD) -j$(JOBS) --target tessik_tests
	bash scripts/run-tests.sh $(BUILD)

# The attacks alone (they also run in `make test`).
test-hostile: build
	cmake --build $(BUILD) -j$(JOBS) --target tessik_tests
	bash scripts/run-tests.sh $(BUILD) -L hostile_tests

# The whole product end to end: release tool, nginx, launcher, game, invite.
demo: TESSIK_TASKBAR_PROGRESS = ON
demo: build
	cmake --build $(BUILD) -j$(JOBS) --target tessik_demo
	bash scripts/demo.sh $(CURDIR)/$(BUILD)

# Performance beside the platform's own tools (full sizes: by hand).
bench: build
	cmake --build $(BUILD) -j$(JOBS) --target tessik_bench
	bash scripts/bench.sh full

bench-quick: build
	cmake --build $(BUILD) -j$(JOBS) --target tessik_bench
	bash scripts/bench.sh quick

# The layer rule and the committed format (CI runs this before the tests).
check: deps
	bash scripts/check-layers.sh
	bash scripts/check-format.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD)
