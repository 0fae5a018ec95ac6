#!/usr/bin/env bash
# A whole download without a phone: installs what is missing, builds, starts the simulated
# phone on a pseudo-terminal and writes a generated software image into its flash with
# vbcflash-cli. Ends with the tool's success text and the simulator's confirmation that the
# flash holds the image. Exits non-zero on any failure.
#
#   scripts/demo.sh            # KEEP=1 keeps the scratch directory, JOBS=N sets the build jobs
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

scripts/deps.sh

JOBS="${JOBS:-$(nproc)}"
cmake --preset default
cmake --build --preset default -j "$JOBS"
BUILD="$ROOT/build/default"
SIM="$BUILD/vbcsim"
CLI="$BUILD/cli/vbcflash-cli"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vbcflash-demo.XXXXXX")"
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    if [ "${KEEP:-0}" = 1 ]; then
        echo "Scratch directory kept: $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

# The tool works in its current directory: flash description, bootstraps (our own example
# bytes, made for the simulator) and the software file.
cp examples/flash.txt examples/mfl104_4.spm examples/mfl104_5.spm "$WORK/"
SIZE=$((384 * 1024))
head -c "$SIZE" /dev/urandom > "$WORK/demo.cla"

echo
echo "== Simulated phone: vbcsim links COM1 in $WORK to its pseudo-terminal"
"$SIM" --once --dir "$WORK" --flash-txt "$WORK/flash.txt" --flash-out "$WORK/flash.bin" \
    > "$WORK/sim.out" 2> "$WORK/sim.err" &
SIM_PID=$!
# It prints the pseudo-terminal's path once COM1 is ready.
for _ in $(seq 100); do
    [ -s "$WORK/sim.out" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
done
if ! [ -s "$WORK/sim.out" ]; then
    echo "vbcsim did not start:" >&2
    cat "$WORK/sim.err" >&2
    exit 1
fi
echo "   pseudo-terminal $(head -n 1 "$WORK/sim.out")"

echo
echo "== vbcflash-cli -C $WORK demo.cla   ($SIZE bytes, port 1, product type 2)"
status=0
"$CLI" -C "$WORK" demo.cla || status=$?
if [ "$status" -ne 0 ]; then
    echo "vbcflash-cli failed with exit status $status" >&2
    exit "$status"
fi

# One job served: the simulator writes the flash out, prints its summary and exits.
wait "$SIM_PID"
SIM_PID=""
echo
echo "== The simulated phone"
grep '^job 1 ' "$WORK/sim.out"
grep -q '^job 1 end=switched-off ' "$WORK/sim.out"
# Product type 2 writes the software from the flash's first byte.
cmp -n "$SIZE" "$WORK/demo.cla" "$WORK/flash.bin"
echo "The flash holds the image: its first $SIZE bytes equal demo.cla."
