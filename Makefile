# The two commands of the project: `make run` and `make test`; `make fuzz`
# runs the fuzz targets.
# Each installs the Debian packages the project needs when one is missing,
# then configures and builds incrementally under build/, with warnings as
# errors (VENTORO_WERROR; a plain cmake build leaves them warnings).
# `make package` builds the Debian package under build/package/ with
# dpkg-buildpackage, `make install` installs it; `make service-check` tries
# it under systemd on a fresh Debian 12; `make plain-builds` builds a plain
# Release tree with GCC and with clang, as a packager or user would.

PACKAGES := g++ make cmake ninja-build pkgconf qt6-base-dev libgl-dev libnats-dev libsystemd-dev fonts-dejavu-core faketime xvfb xauth xdotool
PACKAGING := dpkg-dev debhelper fakeroot lintian devscripts desktop-file-utils file
# For the test of pilots behind a router (it runs as root): network
# namespaces and a masquerading router.
NAT_TEST_PACKAGES := iproute2 nftables
# For `make service-check`: a Debian root to boot under systemd.
SERVICE_CHECK_PACKAGES := systemd-container debootstrap
# For the tests that see the status page in a real browser and check its
# metrics with promtool; where they cannot be had, those tests skip.
# promtool is taken out of Debian's prometheus package into
# build/test-tools/ rather than installed with it, which would also start a
# Prometheus server on the machine; so is nats-server, for the tests of a
# sky of several servers (installed, it would start a NATS service).
TEST_PACKAGES := chromium
# clang and its libFuzzer runtime, for `make fuzz` only.
FUZZ_PACKAGES := clang libclang-rt-14-dev
BUILD    := build
RELEASE  := $(BUILD)/release
ASAN     := $(BUILD)/asan
FUZZ     := $(BUILD)/fuzz
PACKAGE  := $(BUILD)/package
VERSION  := $(shell sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
TEST_TOOLS := $(BUILD)/test-tools
FUZZ_TARGETS := receivepath skymessage inifiles accountdeletion checkpoint
FUZZ_SECONDS ?= 60
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
SUDO     := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps deps-packaging test-deps fuzz-deps build build-asan build-fuzz run run-config test test-release test-asan bench install package package-check plain-builds service-check fuzz clean

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
	$(call install-missing,$(PACKAGES) $(NAT_TEST_PACKAGES))

deps-packaging:
	$(call install-missing,$(PACKAGING))

test-deps:
	-$(call install-missing,$(TEST_PACKAGES))
	-@command -v promtool >/dev/null || [ -x $(TEST_TOOLS)/usr/bin/promtool ] || \
	  (mkdir -p $(TEST_TOOLS) && cd $(TEST_TOOLS) && apt-get download prometheus >/dev/null 2>&1 && \
	   dpkg-deb -x prometheus_*.deb . && rm -f prometheus_*.deb) || \
	  echo "promtool could not be had: the metrics check will skip"
	-@[ -x $(TEST_TOOLS)/usr/sbin/nats-server ] || \
	  (mkdir -p $(TEST_TOOLS) && cd $(TEST_TOOLS) && apt-get download nats-server >/dev/null 2>&1 && \
	   dpkg-deb -x nats-server_*.deb . && rm -f nats-server_*.deb) || \
	  echo "nats-server could not be had: the tests of a sky of several servers will skip"

fuzz-deps: deps
	$(call install-missing,$(FUZZ_PACKAGES))

$(RELEASE)/CMakeCache.txt:
	cmake -S . -B $(RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENTORO_WERROR=ON

$(ASAN)/CMakeCache.txt:
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVENTORO_SANITIZE=ON -DVENTORO_WERROR=ON

$(FUZZ)/CMakeCache.txt:
	cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENTORO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DVENTORO_WERROR=ON

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

test-release: build test-deps
	cd $(RELEASE) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-asan: build-asan test-deps
	cd $(ASAN) && ctest --output-on-failure -j $(JOBS) --timeout 600

test: test-release test-asan

build-fuzz: fuzz-deps
	@$(MAKE) --no-print-directory $(FUZZ)/CMakeCache.txt
	cmake --build $(FUZZ) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

# Each fuzz target for FUZZ_SECONDS from its seed corpus (fuzz/corpus/, read
# only; what it learns goes to build/fuzz/work/, its scratch files to
# build/fuzz/tmp/). A finding is left in
# build/fuzz/findings/<target>/ and fails the run.
fuzz: build-fuzz
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ)/work/$$t $(FUZZ)/findings/$$t $(FUZZ)/tmp; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  (cd $(FUZZ)/findings/$$t && TMPDIR=$(CURDIR)/$(FUZZ)/tmp $(CURDIR)/$(FUZZ)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -rss_limit_mb=2048 -print_final_stats=1 $(CURDIR)/$(FUZZ)/work/$$t $(CURDIR)/fuzz/corpus/$$t \
	    > $(CURDIR)/$(FUZZ)/fuzz_$$t.log 2>&1); status=$$?; \
	  tail -n 7 $(FUZZ)/fuzz_$$t.log; \
	  if [ $$status -ne 0 ] || [ -n "$$(ls -A $(FUZZ)/findings/$$t)" ]; then \
	    echo "fuzz_$$t found a fault: see $(FUZZ)/fuzz_$$t.log and $(FUZZ)/findings/$$t"; exit 1; \
	  fi; \
	done

# Benchmarks: the core in-process, account deletion, then the table of the
# real server beside the yardstick relay under loopback loads (a few minutes).
bench: build
	$(RELEASE)/bench/ventoro_bench all

# The Debian package, built by debhelper from a copy of the tree in
# build/package/src (so nothing is written beside the work tree), without
# its tests (`make test` runs them); missing build dependencies are
# installed first. Then lintian and hardening-check on the result.
package: deps-packaging
	@rm -rf $(PACKAGE)/src && mkdir -p $(PACKAGE)/src/ventoro
	tar -C . --exclude=./build --exclude=./.git -cf - . | tar -C $(PACKAGE)/src/ventoro -xf -
	@cd $(PACKAGE)/src/ventoro && (dpkg-checkbuilddeps -Pnocheck 2>/dev/null || \
	  (echo "Installing the build dependencies" && $(SUDO) apt-get update -q && \
	   DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get build-dep -y -q -Pnocheck ./))
	cd $(PACKAGE)/src/ventoro && DEB_BUILD_OPTIONS="nocheck parallel=$(JOBS)" DEB_BUILD_PROFILES=nocheck \
	  dpkg-buildpackage -b -uc -us > ../build.log 2>&1 || { tail -n 40 ../build.log; exit 1; }
	@mv -f $(PACKAGE)/src/ventoro_$(VERSION)_*.deb $(PACKAGE)/src/ventoro_$(VERSION)_*.buildinfo \
	  $(PACKAGE)/src/ventoro_$(VERSION)_*.changes $(PACKAGE)/
	@$(MAKE) --no-print-directory package-check
	@echo "Built $$(ls -t $(PACKAGE)/ventoro_$(VERSION)_*.deb | head -n 1)"

# lintian (no error, no warning), hardening-check (every program), the
# manual pages without a warning from man, and the desktop entries valid,
# on the package just built. hardening-check leaves out control-flow
# integrity: Debian 12's C start files carry no IBT/SHSTK marking, so no
# program linked here (dpkg itself included) can have it.
package-check:
	@deb=$$(ls -t $(PACKAGE)/ventoro_$(VERSION)_*.deb | head -n 1); \
	lintian --fail-on error,warning $$deb || { echo "lintian finds fault with $$deb"; exit 1; }; \
	rm -rf $(PACKAGE)/contents && dpkg-deb -x $$deb $(PACKAGE)/contents && \
	hardening-check --nocfprotection $(PACKAGE)/contents/usr/bin/* || { echo "hardening-check fails for $$deb"; exit 1; }; \
	for page in $(PACKAGE)/contents/usr/share/man/man1/*.1.gz; do \
	  warnings=$$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z $$page 2>&1 >/dev/null); \
	  [ -z "$$warnings" ] || { echo "man --warnings $$page: $$warnings"; exit 1; }; \
	done; \
	desktop-file-validate $(PACKAGE)/contents/usr/share/applications/*.desktop || exit 1; \
	echo "lintian, hardening-check, man --warnings and desktop-file-validate: clean"

# Installs the package just built, with its dependencies.
install: package
	DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q --reinstall ./$$(ls -t $(PACKAGE)/ventoro_$(VERSION)_*.deb | head -n 1)

# A packager's or a user's build: plain cmake, Release, warnings not errors,
# once with GCC and once with clang. Each must succeed.
plain-builds: deps
	$(call install-missing,clang)
	@for compiler in g++ clang++; do \
	  dir=$(BUILD)/plain-$$compiler; \
	  cmake -S . -B $$dir -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$$compiler > $$dir.log 2>&1 \
	    && cmake --build $$dir -j $(JOBS) >> $$dir.log 2>&1 \
	    || { tail -n 30 $$dir.log; echo "plain Release build with $$compiler failed"; exit 1; }; \
	  echo "plain Release build with $$compiler: built, $$(grep -c 'warning:' $$dir.log) warnings (see $$dir.log)"; \
	done

# The package under a real systemd on a fresh Debian 12 (see
# packaging/service-check.sh): install, start, probe, reload, upgrade,
# purge. It skips, saying why, where it cannot run: not root, no container
# tools, Debian's packages out of reach.
service-check:
ifeq ($(shell id -u),0)
	-$(call install-missing,$(PACKAGING) $(SERVICE_CHECK_PACKAGES))
endif
	@MAKE="$(MAKE)" packaging/service-check.sh

clean:
	rm -rf $(BUILD)
