#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a batch load into the
# simulated demo machine.
#
# bricola-sim serves sim/machines/demo.json as a network serial port on
# 127.0.0.1; a settings file in a temporary XDG_CONFIG_HOME maps COM3 to it; a
# demo image of three modules is built with bricola-mkimage; then
#   bricola -B -S -C 3 -L demo.bin
# loads it, and the outcome, the log and what the boards' flash now holds are
# shown. The exit status is bricola's.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh Release

bin="$PWD/build/bin"
demo="$(mktemp -d "${TMPDIR:-/tmp}/bricola-demo.XXXXXX")"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$demo"
}
trap cleanup EXIT

# The simulated machine: a local board (code 1234) with an old application in its
# flash, a payment board (2001, CAN 0482) with external flash chips, and a
# dispenser board (CAN 0483) whose boot is still universal.
"$bin/bricola-sim" --listen 127.0.0.1:0 --machine sim/machines/demo.json \
  --dump "$demo/dump.json" --transcript "$demo/transcript.txt" >"$demo/sim.out" 2>"$demo/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 1 100); do
  port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$demo/sim.out")"
  [ -n "$port" ] && break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "bricola-sim did not start:" >&2
  cat "$demo/sim.err" >&2
  exit 1
fi
echo "Simulated machine (sim/machines/demo.json) on rfc2217://127.0.0.1:$port"

# COM3 of this run is the simulator.
mkdir -p "$demo/config/Corvanti" "$demo/tmp"
printf '[Ports]\nCOM3=rfc2217://127.0.0.1:%s\n' "$port" >"$demo/config/Corvanti/bricola.ini"

# The demo image: one application per board, made by the project's own tool.
"$bin/bricola-mkimage" -o "$demo/demo.bin" \
  -c 0x1234 -m 1 -n "Controllo 1.0" 0xFC0000:seq=49152 \
  -c 0x2001 -m 1 -a 0x0482 -n "Pagamenti 2.3" 0xFC0000:seq=16384 0x600000:seq=8192 \
  -c 0x3001 -m 1 -a 0x0483 -n "Erogatore 0.9" 0xFC0000:seq=8192
echo "Demo image: 3 modules for boards 1234 (local), 2001 (CAN 0482) and 3001 (CAN 0483)"
echo
echo "$ bricola -B -S -C 3 -L demo.bin"
status=0
(cd "$demo" && XDG_CONFIG_HOME="$demo/config" TMPDIR="$demo/tmp" "$bin/bricola" -B -S -C 3 -L demo.bin) || status=$?
echo "exit status: $status"

# Stopping the simulator writes its flash dump.
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

echo
log="$(echo "$demo"/tmp/BricolaLog*.txt)"
echo "Log ($(basename "$log")), first and last lines:"
# head and tail read the file themselves: no writer upstream of them can be cut
# short by a closed pipe.
head -n 12 "$log" | tr -d '\r' | sed 's/^/  /'
echo "  ..."
tail -n 6 "$log" | tr -d '\r' | sed 's/^/  /'

echo
echo "Flash of the simulated boards after the load:"
/usr/bin/python3 - "$demo/dump.json" <<'EOF'
import json, sys
dump = json.load(open(sys.argv[1]))
for s in dump["schede"]:
    scritti = sum(i["lunghezza"] for i in s["scritti"])
    zone = ", ".join("%06X..%06X" % (i["indirizzo"], i["indirizzo"] + i["lunghezza"] - 1) for i in s["scritti"])
    cancellati = len(s["settoriCancellati"])
    print("  %-10s code %04X CAN %04X: %6d bytes written%s, %d sector%s erased, transfer %s"
          % (s["nome"], s["codice"], s["indirizzoCan"], scritti, " (" + zone + ")" if zone else "",
             cancellati, "" if cancellati == 1 else "s", "closed" if s["fineRicevuto"] else "not closed"))
EOF
exit "$status"
