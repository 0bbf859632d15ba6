#!/usr/bin/env bash
# The main job: a host session against the simulated tracker. Installs what is
# missing, builds the simulator natively and the extension for Windows, starts
# the simulator on a free local port and runs the host program under Wine:
# the 32-bit product where this machine runs 32-bit code, else the x86-64 build.
# The host program registers the component, creates it by ProgID, calibrates,
# streams gaze, pupil and eye events, and writes what arrived to
# out/session.csv and out/gaze.svg; the component records every sample to
# out/recording-<time>.tsv, which okulon_export turns into a BIDS eye-tracking
# dataset in out/bids, checked by the BIDS validator. Arguments go to the
# simulator, after its
# own, e.g. scripts/demo.sh --clock-offset-us=5000000 --clock-drift-ppm=50
# for a tracker clock 5 s ahead of the PC's and gaining 50 ppm.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/machine.sh
. scripts/project.sh
SECONDS_TO_STREAM=${SECONDS_TO_STREAM:-4}
RATE=${RATE:-300}

scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target simtracker okulon_export >/dev/null
if okulon_runs_32bit_code; then
  build=cross arch=win32
  echo "host session with the i686 build (the product for 32-bit hosts) under 32-bit Wine"
else
  build=cross64 arch=win64
  echo "host session with the x86-64 build under 64-bit Wine: this machine's kernel refuses 32-bit x86 code"
fi
cmake --preset $build >/dev/null
cmake --build --preset $build >/dev/null
scripts/wine-prefix.sh $arch create

mkdir -p out
recording="out/recording-$(date -u +%Y%m%dT%H%M%SZ).tsv"  # the component never overwrites a file
log=$(mktemp)
# The simulator ends by itself once nobody is connected for a while.
build/native/simtracker/simtracker --port=0 --rate="$RATE" --seed=7 --idle_exit=5 --lifetime=300 "$@" >"$log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; scripts/wine-prefix.sh $arch stop; rm -f "$log"' EXIT
port=$(okulon_simulator_port "$log" 50)
[ -n "$port" ] || { echo "simulator did not start:"; cat "$log"; exit 1; }
echo "simulated tracker on 127.0.0.1:$port ($RATE Hz)"

# Installed as a host installs it: the component registers itself.
dll='Z:'"$root"'/build/'$build'/bin/Okulon.dll'
by_path=()
if scripts/wine-run $arch regsvr32 /s "$dll"; then
  echo "regsvr32 Okulon.dll: registered"
else
  echo "regsvr32 Okulon.dll: failed (exit $?); the host program uses the DLL by path (--dll)"
  by_path=(--dll "$dll")
fi

scripts/wine-run $arch build/$build/bin/okulon_host.exe --port "$port" --seconds "$SECONDS_TO_STREAM" \
  --csv 'Z:'"$root"'/out/session.csv' --svg 'Z:'"$root"'/out/gaze.svg' --record 'Z:'"$root/$recording" \
  "${by_path[@]}"
wait $sim || true
cat "$log"

echo "== the recording as a BIDS eye-tracking dataset (out/bids)"
rm -rf out/bids
build/native/tools/export/okulon_export --recording "$recording" --dataset out/bids --subject demo --task session \
  --screen-width-m 0.53 --screen-height-m 0.30 --screen-distance-m 0.65
if scripts/bids-validator.sh; then
  build/bids-validator/node_modules/.bin/bids-validator out/bids
else
  echo "out/bids: not validated, the BIDS validator could not be installed"
  exit 1
fi
