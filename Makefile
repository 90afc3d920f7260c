# The two commands of the project: `make run` and `make test`.
# Each installs the Debian packages the project needs when one is missing,
# then configures and builds incrementally under build/.
# `make install PREFIX=DIR` installs under DIR (default /: the programs go to
# /opt/ventoro); `make package` builds a .deb under build/release/package/.

PACKAGES := g++ make cmake ninja-build qt6-base-dev libgl-dev fonts-dejavu-core faketime
PACKAGING := dpkg-dev file
PREFIX   ?= /
BUILD    := build
RELEASE  := $(BUILD)/release
ASAN     := $(BUILD)/asan
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
SUDO     := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps deps-packaging build build-asan run run-config test test-release test-asan bench install package clean

all: build

# Installs whichever of the Debian packages in $(1) are missing.
define install-missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

deps-packaging:
	$(call install-missing,$(PACKAGING))

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

# The programs, icon and desktop entries under $(PREFIX); an existing
# VentoroServer.ini or user.ini is kept.
install: build
	$(if $(filter /,$(PREFIX)),$(SUDO)) cmake --install $(RELEASE) --prefix $(PREFIX)

# The .deb: the same, plus the service unit and the logrotate rule. Its
# contents are checked for the programs, the unit and the rule.
package: build deps-packaging
	cd $(RELEASE) && cpack
	@deb=$$(ls -t $(RELEASE)/package/ventoro_*.deb | head -n 1); \
	contents=$$(dpkg-deb --contents $$deb); \
	for f in opt/ventoro/VentoroServer opt/ventoro/VentoroConfig opt/ventoro/ventoro \
	         lib/systemd/system/ventoro.service etc/logrotate.d/ventoro; do \
	  echo "$$contents" | grep -q " ./$$f$$" || { echo "$$deb lacks $$f"; exit 1; }; \
	done; \
	echo "Built $$deb"

clean:
	rm -rf $(BUILD)
