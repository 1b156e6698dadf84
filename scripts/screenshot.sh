#!/usr/bin/env bash
# Takes a picture of the main window during a load: Xvfb, a paced simulated
# machine on COM3 (bricola-sim over RFC 2217), a two-module demo image, the
# real program started with -S, and the screen grabbed a few seconds in.
# Usage: scripts/screenshot.sh [OUTPUT.png]   (default docs/window-loading.png)
# BRICOLA_BUILD_DIR names the build folder (default build); needs xvfb
# (scripts/setup.sh) and the targets bricola, bricola-sim, bricola-mkimage and
# bricola-screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${BRICOLA_BUILD_DIR:-build}/bin"
out="${1:-docs/window-loading.png}"
for p in bricola bricola-sim bricola-mkimage bricola-screenshot; do
  [ -x "$bin/$p" ] || { echo "missing $bin/$p: build it first" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "Xvfb is missing: run scripts/setup.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/bricola-screenshot-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number.
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x900x24 -br -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done

cat >"$work/machine.json" <<'JSON'
{"schede": [{"nome": "controllo", "codice": "0x1234", "versione": "0x68", "tipoMicro": 1,
             "codiceBuffer": "0xA0", "indirizzoCan": "0x0100", "flash": {"mappa": "M256"}}]}
JSON
mkfifo "$work/sim.out"
"$bin/bricola-sim" --listen 127.0.0.1:0 --paced --machine "$work/machine.json" >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
read -r riga <"$work/sim.out"
porta=${riga##*:}

mkdir -p "$work/config/Corvanti"
printf '[Ports]\nCOM3=rfc2217://127.0.0.1:%s\n' "$porta" >"$work/config/Corvanti/bricola.ini"
"$bin/bricola-mkimage" -o "$work/demo.bin" \
  -c 0x1234 -m 1 -n "Applicazione distributore" 0xFC0000:seq=98304 \
  -c 0x1234 -m 1 -n "Tabelle prezzi" 0xFE0000:seq=16384

DISPLAY=":$n" XDG_CONFIG_HOME="$work/config" TMPDIR="$work" QT_QPA_PLATFORM=xcb \
  "$bin/bricola" -S -C 3 "$work/demo.bin" >"$work/bricola.log" 2>&1 &
pids+=($!)
sleep "${BRICOLA_SCREENSHOT_DELAY:-4}"
mkdir -p "$(dirname "$out")"
DISPLAY=":$n" QT_QPA_PLATFORM=xcb "$bin/bricola-screenshot" "$out"
echo "$out"
