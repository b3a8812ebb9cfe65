#!/usr/bin/env bash
# The main job, end to end on one machine: the simulated robot on UDP 127.0.0.1, the headless relay
# connected to it, and a client's sensor request going through the command section; the sensor
# records that come back are printed from the robot's sections. Everything stops at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

port="${DEMO_PORT:-47123}"
robot="${DEMO_ROBOT:-demo}"
log_dir="$(mktemp -d /tmp/trevask-demo.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

echo "== starting the simulated robot on udp 127.0.0.1:$port"
build/sim/robot-sim --udp "127.0.0.1:$port" --period 200 >"$log_dir/robot-sim.log" 2>&1 &
pids+=($!)
sleep 0.3

echo "== starting the relay: trevask --headless --wifi 127.0.0.1 --port $port --robot $robot"
build/relay/app/trevask --headless --wifi 127.0.0.1 --port "$port" --robot "$robot" >"$log_dir/trevask.log" 2>&1 &
relay=$!
pids+=($relay)
for _ in $(seq 100); do grep -q "Connected" "$log_dir/trevask.log" && break; sleep 0.1; done
sed 's/^/   relay: /' "$log_dir/trevask.log"

echo "== a client asks for the standard and motor sensor streams (frames put into the command section)"
build/tools/trevask-sections --robot "$robot" --sections sensor,motor --count 6 --timeout 10000 --bytes 16 \
  >"$log_dir/records.log" &
watcher=$!
sleep 0.3
build/tools/trevask-sections --robot "$robot" --put-command "5E 02 01 00 7D 01 FF C3 5E 0D"
sleep 0.1
build/tools/trevask-sections --robot "$robot" --put-command "5E 02 01 00 7B 01 03 $(python3 -c '
def crc(b):
    c = 0
    for x in b:
        c ^= x
        for _ in range(8):
            c = (c >> 1) ^ 0x8C if c & 1 else c >> 1
    return c
print("%02X 5E 0D" % crc([1, 0, 0x7B, 1, 3]))')"
wait "$watcher" || true
echo "== sensor records that arrived in the sections of robot '$robot':"
sed 's/^/   /' "$log_dir/records.log"

echo "== stopping the relay (SIGTERM, as closing its dialog)"
kill -TERM "$relay"
wait "$relay" || true
tail -n 8 "$log_dir/trevask.log" | sed 's/^/   relay: /'
echo "== what the robot received:"
grep "received" "$log_dir/robot-sim.log" | sed 's/^/   /'
echo "== logs are in $log_dir"
