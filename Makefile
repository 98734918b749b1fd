# Front door of the build. Every target installs what it needs first, so a
# fresh machine needs nothing but `make test`.
BUILD      ?= build
BUILD_TYPE ?= Release
JOBS       ?= 2

.PHONY: deps configure build test test-hostile demo bench bench-quick clean format

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	bash scripts/run-tests.sh $(BUILD)

# The attacks alone (they also run in `make test`).
test-hostile: build
	bash scripts/run-tests.sh $(BUILD) -L hostile_tests

# The whole product end to end: release tool, nginx, launcher, game, invite.
demo: build
	bash scripts/demo.sh $(CURDIR)/$(BUILD)

# Performance beside the platform's own tools (full sizes: by hand).
bench: build
	bash scripts/bench.sh full

bench-quick: build
	bash scripts/bench.sh quick

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD)
