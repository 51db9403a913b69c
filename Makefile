# Two entry points for a fresh Debian machine (run as root or with sudo):
#   make run    install what is missing, build, run the example job
#   make test   install what is missing, build, run the whole test suite
# (plus a sanitizer build of the suite, a sanitizer build whose GPU code runs on the host
# stand-in of the CUDA runtime, and a 60 s run of each fuzz target)
#   make fuzz   a longer fuzz run: make fuzz FUZZ_SECONDS=3600

SHELL    := /bin/bash
JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
FUZZ     ?= build-fuzz
HOST     ?= build-host
FUZZ_SECONDS ?= 600
FUZZ_TEST_SECONDS ?= 60
EXAMPLE  ?= examples/lens.cfg
RUNDIR   ?= run
PACKAGES := cmake g++ make pkg-config libfftw3-dev libopenblas-serial-dev libgtest-dev libsleef-dev clang libclang-rt-14-dev
SUDO     := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps build build-asan build-host build-fuzz fuzz

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DFYRNOL_CUDA=OFF -DFYRNOL_SANITIZE=ON -DFYRNOL_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)

build-host: deps
	cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Debug -DFYRNOL_CUDA=HOST -DFYRNOL_SANITIZE=ON -DFYRNOL_BENCH=OFF
	cmake --build $(HOST) -j $(JOBS)

build-fuzz: deps
	cmake -S . -B $(FUZZ) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFYRNOL_FUZZ=ON
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_config fuzz_options

fuzz: build-fuzz
	fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

run: build
	mkdir -p $(RUNDIR)
	cd $(RUNDIR) && ../$(BUILD)/fyrnol -i ../$(EXAMPLE) -p -r results.csv
	@echo "output files in $(RUNDIR)/:"; ls -l $(RUNDIR)

DEVICE_TESTS := NaiveWrapper|ShMemWrapper|GpuPropagation|CudaHost|Driver\.Gpu

# The GPU code on the host stand-in, under ASan/UBSan: every device test must run there.
test: build build-asan build-host build-fuzz
	fuzz/run.sh $(FUZZ) $(FUZZ_TEST_SECONDS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)
	cd $(HOST) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) | tee ctest.log; test $${PIPESTATUS[0]} = 0
	@! grep -E ' ($(DEVICE_TESTS))[^ ]* .*(\*\*\*Skipped|Not Run)' $(HOST)/ctest.log \
	  || { echo "device tests skipped on the host stand-in"; exit 1; }
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
