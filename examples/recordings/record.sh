#!/usr/bin/env bash
# Records the sample session that the Windows zip carries for users without a robot
# (examples/recordings/simulated-robot.pcapng): the simulated robot on UDP, the relay recording its
# link, and a client that asks for the standard and the motor sensor records, four a second each,
# for 30 seconds. `trevask --replay` plays it back into a robot's sections.
#
#   bash examples/recordings/record.sh [BUILD_DIR] [OUTPUT]
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build}"
out="${2:-examples/recordings/simulated-robot.pcapng}"
work="$(mktemp -d)"
sim="" relay=""
cleanup() {
  [ -n "$relay" ] && kill "$relay" 2>/dev/null
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  wait
  rm -rf "$work"
}
trap cleanup EXIT

"$build/sim/robot-sim" --udp 127.0.0.1:0 --period 250 >"$work/sim.log" 2>&1 &
sim=$!
until grep -q "ready on udp" "$work/sim.log"; do sleep 0.1; done
port="$(grep -o 'ready on udp 127\.0\.0\.1:[0-9]*' "$work/sim.log" | cut -d: -f2)"
robot="sample$$"
TREVASK_CONFIG_DIR="$work" "$build/relay/app/trevask" --wifi 127.0.0.1 --port "$port" --robot "$robot" \
  --record "$work/session.pcapng" >"$work/relay.log" 2>&1 &
relay=$!
until grep -q "Connected" "$work/relay.log"; do sleep 0.1; done
# EnableStandardSensorSending and EnableMotorSensorSending, as the control encodes them.
"$build/tools/trevask-sections" --robot "$robot" --put-command "5E 02 01 00 7D 01 FF C3 5E 0D" \
  --put-command "5E 02 01 00 7B 01 FF 12 5E 0D"
sleep 30
kill -INT "$relay"
wait "$relay"
relay=""
cp "$work/session.pcapng" "$out"
echo "$out: $(stat -c %s "$out") bytes"
