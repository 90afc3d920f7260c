# The two commands of the project: `make run` and `make test`.
# Each installs the Debian packages the project needs when one is missing,
# then configures and builds incrementally under build/.

PACKAGES := g++ make cmake ninja-build qt6-base-dev libgl-dev fonts-dejavu-core faketime
BUILD    := build
RELEASE  := $(BUILD)/release
ASAN     := $(BUILD)/asan
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
SUDO     := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build build-asan run run-config test test-release test-asan bench clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

$(RELEASE)/CMakeCache.txt:
	cmake -S . -B $(RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN)/CMakeCache.txt:
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVENTORO_SANITIZE=ON

build: deps
	@$(MAKE) --no-print-directory $(RELEASE)/CMakeCache.txt
	cmake --build $(RELEASE) -j $(JOBS)

build-asan: deps
	@$(MAKE) --no-print-directory $(ASAN)/CMakeCache.txt
	cmake --build $(ASAN) -j $(JOBS)

# Both programs run from the program directory, where their settings are.
run: build
	cd $(RELEASE)/bin && exec ./VentoroServer

run-config: build
	cd $(RELEASE)/bin && exec ./VentoroConfig

test-release: build
	cd $(RELEASE) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-asan: build-asan
	cd $(ASAN) && ctest --output-on-failure -j $(JOBS) --timeout 600

test: test-release test-asan

# Benchmarks: the core in-process, account deletion, then the table of the
# real server beside the yardstick relay under loopback loads (a few minutes).
bench: build
	$(RELEASE)/bench/ventoro_bench all

clean:
	rm -rf $(BUILD)
