# Everything a fresh Debian 12 machine needs: `make run` and `make test`.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run run-player test sanitize package package-check bench icon \
        format clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/src/Tonravel

run-player: build
	$(BUILD_DIR)/player/plovarin-player

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The same suite, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DPLOVARIN_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The Debian package, in $(BUILD_DIR): what `cmake --install` installs, packed by CPack.
package: build
	rm -f $(BUILD_DIR)/plovarin_*.deb
	cd $(BUILD_DIR) && cpack

# CI's look at the package: no lintian error, a desktop entry without errors or warnings, a
# changelog whose latest entry is the version being packaged, and manual pages that render
# without warnings and with no section but these (help2man takes a line of the player's extra
# text that looks like "[Name]" for a section of its own).
DESKTOP_ENTRY = packaging/com.morvenhal.Tonravel.desktop
MAN_SECTIONS = NAME|SYNOPSIS|DESCRIPTION|OPTIONS|EXIT STATUS|RUNNING AS A SERVICE|NETWORK|FILES|SEE ALSO
package-check: package
	lintian --fail-on error $(BUILD_DIR)/plovarin_*.deb
	for page in $(BUILD_DIR)/packaging/*.1.gz; do \
	  test -z "$$(MANWIDTH=80 man --warnings -l $$page 2>&1 >/dev/null)" && \
	  ! MANWIDTH=80 man -l $$page | grep -vE '^( |$$)|\(1\) *$$' | grep -vxE '$(MAN_SECTIONS)' || \
	  { echo "$$page: a warning or a section that is none"; exit 1; }; \
	done
	desktop-file-validate $(DESKTOP_ENTRY)
	test -z "$$(desktop-file-validate --no-hints $(DESKTOP_ENTRY))"
	test "$$(dpkg-parsechangelog -l packaging/changelog -S Version)" = \
	     "$$(dpkg-deb --field $(BUILD_DIR)/plovarin_*.deb Version)"

# CPU time of the pipe device against the codec alone; BENCH_SECONDS of audio (default 60).
# Then the window's packets, CPU and delay from the sound server's sink to the wire beside a
# GStreamer pipeline; the receiver's CPU time and memory; a simulated hour of clock drift and
# jitter; the web page's delay and the receiver's CPU time per listener; the delay from sound to
# sound beside a tuned GStreamer pair; the receiver's CPU and memory beside a GStreamer receive
# pipeline; and BENCH_SOAK_MINUTES (default 10) of streaming with every core loaded.
# As root: each but bench_drift runs itself in a network namespace of its own.
BENCH_SOAK_MINUTES ?= 10
bench: configure
	cmake --build $(BUILD_DIR) --target bench_pipedevice bench_latency bench_player bench_drift \
	  bench_web bench_sound_to_sound bench_receive bench_soak -j $(JOBS)
	$(BUILD_DIR)/bench/bench_pipedevice $(BENCH_SECONDS)
	$(BUILD_DIR)/bench/bench_latency
	$(BUILD_DIR)/bench/bench_player
	$(BUILD_DIR)/bench/bench_drift
	$(BUILD_DIR)/bench/bench_web
	$(BUILD_DIR)/bench/bench_sound_to_sound
	$(BUILD_DIR)/bench/bench_receive
	$(BUILD_DIR)/bench/bench_soak $(BENCH_SOAK_MINUTES)

icon: configure
	cmake --build $(BUILD_DIR) --target icon

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)
