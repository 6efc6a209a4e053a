# Front door: `make run` and `make test` do all set-up on a fresh Debian 12 machine.
BUILD   := build
SAN     ?=
JOBS    ?= $(shell nproc)
SUDO    := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Debian packages the build and the tests need.
PACKAGES := cmake ninja-build g++ pkg-config ffmpeg \
	libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev \
	libass-dev libuchardet-dev fonts-dejavu-core \
	libsdl2-dev libasound2-dev qt6-base-dev \
	libgtest-dev libgmock-dev libbenchmark-dev \
	curl netcat-openbsd xvfb x11-apps xauth python3 locales \
	dpkg-dev desktop-file-utils appstream systemd man-db iproute2 \
	xdotool dbus libglib2.0-bin fonts-wqy-microhei weston qt6-wayland
# Peers the benchmarks compare against.
BENCH_PACKAGES := mpv lighttpd nginx-light procps time
# The fuzz targets: clang with libFuzzer's and the sanitizers' runtimes.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_BUILD ?= build-fuzz
FUZZ_S ?= 60

# $(call install-missing,PACKAGES): installs those not installed yet.
define install-missing
	@missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		$(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

.PHONY: all deps bench-deps fuzz-deps configure build run test fuzz bench install package clean

all: build

deps:
	$(call install-missing,$(PACKAGES))

bench-deps: deps
	$(call install-missing,$(BENCH_PACKAGES))

fuzz-deps: deps
	$(call install-missing,$(FUZZ_PACKAGES))

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DSIVO_SANITIZE=$(SAN)

# TARGETS narrows the build (e.g. some test programs); LABELS the tests run
# (a regular expression over the layers' names).
TARGETS ?=
LABELS  ?=

build: configure
	cmake --build $(BUILD) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS))

run: build
	@if [ -x $(BUILD)/bin/sivo ] && { [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; }; then \
		$(BUILD)/bin/sivo $(BUILD)/media/demo.mp4; \
	else \
		$(BUILD)/bin/sivo-play $(BUILD)/media/demo.mp4; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600 $(if $(LABELS),-L '$(LABELS)')

# Builds the fuzz targets with clang and runs each for FUZZ_S seconds.
fuzz: fuzz-deps
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_S)

bench: build bench-deps
	bench/run-all.sh $(BUILD)

install: build
	$(SUDO) cmake --install $(BUILD)

# build/sivo_VERSION_ARCH.deb
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
