#!/usr/bin/env bash
# Checks of the binary that need root (chattr, another user), kept out of the test suite.
#
#   tests/root_probes.sh [path/to/fyrnol]      (default: build/fyrnol)
#
# Each probe is a function named probe_*, run in name order in a scratch folder of its own
# under $base; it reports through pass, fail and skip. The scratch folders lose their flags
# and go at the end. Exits non-zero when any probe failed.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath -- "${1:-$root/build/fyrnol}" 2>/dev/null)
failures=0

pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
skip() { echo "SKIP $*"; }

if [ "$(id -u)" -ne 0 ]; then
    skip "root probes: they need root (chattr)"
    exit 0
fi
if [ ! -x "$bin" ]; then
    fail "root probes: no binary at ${1:-$root/build/fyrnol}"
    exit 1
fi

base=$(mktemp -d "${TMPDIR:-/tmp}/fyrnol-probes.XXXXXX") || exit 1
cleanup() {
    chattr -R -a -i "$base" 2>/dev/null
    rm -rf "$base"
}
trap cleanup EXIT

# The files of a CPU run that are replaced whole through a temporary file.
REPLACED="N_sys.csv E_inp.csv F_inp.csv E_cpu.csv EFlux_cpu.csv EFlux_cpu_Z.csv"

# An append-only folder (chattr +a) forbids the rename and the removal of a temporary file,
# so none is made there: every replaced file gets the warning, the wisdom cache is silently
# not saved, a new results file is created with its header, and nothing else is left.
probe_append_only_folder() {
    local dir="$base/append-only" cfg name out status file ok
    mkdir "$dir" || { fail "append-only: cannot make $dir"; return; }
    if ! chattr +a "$dir" 2>/dev/null; then
        skip "append-only: chattr +a refused on this file system"
        return
    fi
    for cfg in "$root"/examples/*.cfg; do
        name=$(basename "$cfg" .cfg)
        out=$(cd "$dir" && "$bin" -q -p -r "res-$name.csv" -i "$cfg" 2>&1)
        status=$?
        ok=1
        [ "$status" -eq 255 ] || { fail "append-only $name: status $status, not 255"; ok=0; }
        for file in $REPLACED; do
            if ! grep -qF "output file \"$file\" could not be written" <<<"$out"; then
                fail "append-only $name: no warning for $file"
                ok=0
            fi
            [ ! -e "$dir/$file" ] || { fail "append-only $name: $file exists"; ok=0; }
        done
        if grep -q wisdom <<<"$out" || [ -e "$dir/wisdom3.txt" ]; then
            fail "append-only $name: the wisdom cache was written or named"
            ok=0
        fi
        if [ "$(sed -n '1s/;.*//p' "$dir/res-$name.csv" 2>/dev/null)" != cfile ] ||
           [ "$(sed -n '2s/;.*//p' "$dir/res-$name.csv")" != "$cfg" ]; then
            fail "append-only $name: results file without its header and row"
            ok=0
        fi
        [ "$ok" -eq 1 ] && pass "append-only $name"
    done
    local left
    left=$(find "$dir" -name '*.fyrnol-tmp.*' | wc -l)
    if [ "$left" -eq 0 ]; then
        pass "append-only: no temporary file left"
    else
        fail "append-only: $left temporary files left"
    fi
}

# A log that the shell opened as root for a run as another user (a root-owned 0600 file the
# run may not open itself, so no description of its own): the row is taken under the lock
# of the shared description, so a writer by name that holds the lock keeps the row waiting.
probe_log_opened_for_another_user() {
    local dir="$base/log-for-another-user" pid status
    command -v setpriv >/dev/null || { skip "log for another user: no setpriv"; return; }
    mkdir "$dir" && chmod 1777 "$dir" && cp "$root/examples/grating.cfg" "$dir/run.cfg" || {
        fail "log for another user: cannot set up $dir"
        return
    }
    (umask 077 && printf 'kept\n' >"$dir/log")
    exec 8<"$dir/log"
    flock 8
    (cd "$dir" && exec setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$bin" -q -p -i run.cfg -r /dev/stdout >>log 2>err.txt 8<&-) &
    pid=$!
    sleep 2
    if [ "$(cat "$dir/log")" = kept ] && grep -q 'Waiting for the lock' "$dir/err.txt"; then
        pass "log for another user: the row waits for the lock"
    else
        fail "log for another user: the row did not wait for the lock"
    fi
    exec 8<&-
    wait "$pid"
    status=$?
    if [ "$status" -eq 0 ] && [ "$(sed -n 1p "$dir/log")" = kept ] &&
       [ "$(sed -n '2s/;.*//p' "$dir/log")" = run.cfg ] && [ "$(wc -l <"$dir/log")" -eq 2 ]; then
        pass "log for another user: the row follows the line kept"
    else
        fail "log for another user: status $status, log: $(cat "$dir/log")"
    fi
}

for probe in $(declare -F | awk '$3 ~ /^probe_/ { print $3 }'); do
    "$probe"
done
[ "$failures" -eq 0 ]
