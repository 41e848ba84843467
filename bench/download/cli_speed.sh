#!/bin/sh
# facset-cli download of a 64 KiB firmware image over scale-sim's
# pseudo-terminal at 9600 and at 115200 bit/s. With scale-sim's --line-rate the
# pty is paced like a real line, so the speed option shows its effect; without
# it the pty runs as fast as it can and both figures are alike.
# Usage: bench/download/cli_speed.sh [BUILD_DIR]
set -eu
build=${1:-build}
sim=$build/tools/scale-sim/scale-sim
cli=$build/cli/facset-cli
work=$(mktemp -d)
trap 'kill $simpid 2>/dev/null || true; rm -rf "$work"' EXIT INT TERM

pacing=
if "$sim" --help 2>&1 | grep -q -- '--line-rate'; then
  # SIM_PACING overrides the option as given to scale-sim.
  pacing=${SIM_PACING:---line-rate}
else
  echo "note: this scale-sim has no --line-rate: the pty is not paced" >&2
fi

head -c 65536 /dev/urandom >"$work/image.bin"
printf '[port]\r\nip=127.0.0.1\r\nuse com=0\r\n[factory]\r\nIsDownkDownProg=0\r\nbyte[1  ]=1\r\n' >"$work/p.ini"
# scale-sim prints its ready line once the pty exists.
"$sim" --no-udp --pty-link "$work/tty" $pacing >"$work/sim.out" 2>&1 &
simpid=$!
i=0
while [ ! -e "$work/tty" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done

for bps in 9600 115200; do
  start=$(date +%s.%N)
  "$cli" download "$work/p.ini" --com "$work/tty" --firmware "$work/image.bin" --speed "$bps" >/dev/null
  end=$(date +%s.%N)
  awk -v b="$bps" -v s="$start" -v e="$end" 'BEGIN {printf "64 KiB at %6d bit/s: %8.2f s\n", b, e - s}'
done
