#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: build with CUDA, run the whole test suite (the GPU tests
# must not be skipped), then propagate one example on the GPU and the CPU, print the kernel
# time, the CPU time, the speed-up and the largest deviation of the GPU field, and check the
# deviation plane by plane (bench/gpu_planes.cpp gives the bounds). Exits non-zero when a test
# fails or skips, or when a plane of the GPU field leaves its bound.
#
#   bench/gpu_check.sh [example.cfg] [block size]
#
# CUDA_MODE=HOST runs the same steps on the host stand-in of the CUDA runtime, without a
# device: a check of this script, not of a GPU.
#
# The kernel time is what the results file records: the host time of the wrapper call,
# stopped before the device has finished.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
example="${1:-examples/waveguide.cfg}"
block="${2:-16}"
mode="${CUDA_MODE:-ON}"
build="${BUILD:-$root/build-gpu-check}"
jobs="$(nproc)"

case "$example" in
    /*) cfg="$example" ;;
    *) cfg="$root/$example" ;;
esac
[ -f "$cfg" ] || { echo "no such configuration file: $cfg" >&2; exit 1; }

if command -v nvidia-smi >/dev/null 2>&1; then
    nvidia-smi -L
else
    echo "nvidia-smi not found; the GPU tests will tell whether a device is present"
fi

cmake -S "$root" -B "$build" -DFYRNOL_CUDA="$mode" -DFYRNOL_BENCH=ON -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$jobs"

(cd "$build" && ctest --output-on-failure -j "$jobs")

# ctest counts a skipped test as passed: make sure the device tests really ran.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
# Driver.GpuRunWithoutADevice skips where a device is present, as it should.
"$build/fyrnol_tests" \
    --gtest_filter='NaiveWrapper*:ShMemWrapper*:GpuPropagation*:Driver.Gpu*-Driver.GpuRunWithoutADevice' \
    | tee "$log"
if grep -q '^\[  SKIPPED \]' "$log"; then
    echo "GPU tests were skipped: no usable device" >&2
    exit 1
fi

run="$(mktemp -d)"
echo "running $example in $run"
(cd "$run" && "$build/fyrnol" -i "$cfg" -g -p -c -b "$block" -r results.csv)

# Rows: GPU, CPU, then the comparison with both times, the deviation and the speed-up.
awk -F';' '
    NR > 1 && $8 != "-1" && $9 != "-1" { kt = $7; ct = $8; err = $9; su = $10; found = 1 }
    END {
        if (!found) { print "no comparison row in results.csv" > "/dev/stderr"; exit 1 }
        printf "kernel time: %s ms\nCPU time:    %s ms\nspeed-up:    %s\nmax error:   %s\n", kt, ct, su, err
    }' "$run/results.csv"

# Per plane: the GPU field within rounding of the CPU field where the index never changed,
# within the Fresnel quantisation after a change.
(cd "$run" && "$build/gpu_planes" "$cfg" "$block")
