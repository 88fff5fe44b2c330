# The two commands that set up everything on a fresh Debian 12 machine:
#   make run    builds the gateway and starts it with the built-in simulator
#   make test   builds the tests and runs them all
# Each target installs the Debian packages its task needs (scripts/bootstrap and a profile).
JOBS ?= $(shell nproc)
CMAKE_COMMON = -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
WERROR ?= $(if $(CI),ON,OFF)

.PHONY: all bootstrap build run test test-repeat test-tsan bench soak fuzz fuzz-smoke format format-check clean windows \
	test-windows installer package

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DQUARNIX_TESTS=OFF -DQUARNIX_WERROR=$(WERROR)
	cmake --build build -j $(JOBS)

# Adds /s (background mode) when there is no display to show the window on.
run: build
	@echo "Quarnix listens for requests on TCP port 8089 (all interfaces) and sends its datagrams to 127.0.0.1:8088;"
	@echo "its log file is build/RV_Morvantel.log. Stop it with Ctrl-C$(if $(DISPLAY)$(WAYLAND_DISPLAY), or by closing its window and answering No (否),)."
	cd build && ./quarnix /progId Quarnix.Simulator $(if $(DISPLAY)$(WAYLAND_DISPLAY),,/s)

# The MQTT bridge: a local mosquitto on 127.0.0.1:1883, the gateway with the simulator and
# quarnix-mqtt with dist/quarnix-mqtt.example.conf (see the README, "Publishing to an MQTT broker").
.PHONY: run-mqtt
run-mqtt: build
	scripts/run-mqtt build

test: bootstrap
	cmake -S . -B build-test $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUARNIX_SANITIZE=address,undefined -DQUARNIX_WERROR=$(WERROR)
	cmake --build build-test -j $(JOBS)
	cd build-test && ctest --output-on-failure -j $(JOBS) --timeout 300

# Runs the tests whose names match TESTS (a ctest pattern) REPEAT times each beside LOAD busy
# processes (one per core unless given), stopping at a test's first failure:
#   make test-repeat TESTS='SimulatorTest\.ControlRestart' REPEAT=50
TESTS ?= .
REPEAT ?= 20
LOAD ?= $(JOBS)
test-repeat: bootstrap
	cmake -S . -B build-test $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUARNIX_SANITIZE=address,undefined -DQUARNIX_WERROR=$(WERROR)
	cmake --build build-test -j $(JOBS)
	scripts/test-repeat build-test '$(TESTS)' $(REPEAT) $(LOAD)

test-tsan: bootstrap
	cmake -S . -B build-tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUARNIX_SANITIZE=thread -DQUARNIX_WERROR=$(WERROR)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp" ctest --output-on-failure -j $(JOBS) --timeout 300

# The Windows programs (quarnix.exe, quarnix-sim.exe, the proxy/stub DLL opcda_ps.dll and the
# check programs), cross-built with mingw-w64 into build-windows/.
windows:
	@scripts/bootstrap windows
	cmake -S . -B build-windows $(CMAKE_COMMON) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DQUARNIX_WERROR=$(WERROR)
	cmake --build build-windows -j $(JOBS)

# The Windows setup program build-windows/quarnix-<version>-setup.exe (NSIS): installs, registers
# and starts the service; silent with /S (dist/windows/quarnix-setup.nsi).
installer: windows
	cmake --build build-windows --target installer

# Runs the Windows build under wine: registration, the COM checks, the end-to-end suite (built
# for Linux in build-test) against quarnix.exe, the Windows service, the setup program (install,
# upgrade, uninstall), and the window check under Xvfb.
test-windows: installer
	cmake -S . -B build-test $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQUARNIX_SANITIZE=address,undefined -DQUARNIX_WERROR=$(WERROR)
	cmake --build build-test -j $(JOBS) --target e2e_suites quarnix-client
	scripts/test-windows build-windows build-test

# The Debian package build/quarnix_<version>_amd64.deb (CPack) from the release build, then its
# check: contents, control data, maintainer scripts and lintian (tests/dist/package_test.sh).
package: build
	@scripts/bootstrap package
	cd build && cpack -G DEB
	tests/dist/package_test.sh build

bench:
	@scripts/bootstrap bench
	cmake -S . -B build-bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DQUARNIX_TESTS=OFF -DQUARNIX_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	cmake --build build-bench --target run-benchmarks

# The soak run: the gateway under mixed load with a server crash and hang every few minutes and the
# log file renamed under it, for SOAK_SECONDS (default 600), a table row per minute; not run by CI.
SOAK_SECONDS ?= 600
soak:
	@scripts/bootstrap bench
	cmake -S . -B build-bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DQUARNIX_TESTS=OFF -DQUARNIX_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target soak_run quarnix
	mkdir -p build-bench/soak && cd build-bench/soak && SOAK_SECONDS=$(SOAK_SECONDS) ../bench/soak_run

fuzz:
	@scripts/bootstrap fuzz
	cmake -S . -B build-fuzz $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DQUARNIX_FUZZ=ON -DQUARNIX_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)

# Every fuzz target from a copy of its seed corpus, FUZZ_SECONDS each, as many at once as there
# are cores: 7 targets take about 4 minutes on 2 cores.
FUZZ_SECONDS ?= 60
fuzz-smoke: fuzz
	scripts/fuzz-smoke build-fuzz $(FUZZ_SECONDS) $(JOBS)

format:
	@scripts/bootstrap format
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@scripts/bootstrap format
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build build-test build-tsan build-bench build-fuzz build-windows
