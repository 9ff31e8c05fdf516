#!/usr/bin/env bash
# The whole chain on loopback: the node-opcua test server (testing/opcua-server)
# with TAGS variables, pemrix-daqsvc reading them all through Quillet.drv every
# 100 ms, Pemrix.DataLogger storing them as one measurement of TAGS fields every
# 100 ms into a real influxd. Prints the share of the schedule stored and each
# process's CPU per 1,000 fields stored.
#
#   bash bench/chain/chain_bench.sh [--seconds N] [--tags N] [--baseline REV]
#
# --baseline REV builds that revision too (a temporary git worktree, its own
# Release build of the three programs) and runs it first, then this tree, back
# to back on the same machine. Defaults: 20 s measured after 5 s of warm-up,
# 1000 tags. Builds go to build-chain/ (and build-chain-base/); everything
# runs in a fresh temporary folder that is removed, and every process started
# is stopped, on every path out.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD

SECONDS_RUN=20
TAGS=1000
BASELINE=""
WARMUP=5
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) SECONDS_RUN=${2:-}; shift 2 || exit 2 ;;
    --tags) TAGS=${2:-}; shift 2 || exit 2 ;;
    --baseline) BASELINE=${2:-}; shift 2 || exit 2 ;;
    *) sed -n '8,9s/^# //p' "$0" >&2; exit 2 ;;
  esac
done
[[ $SECONDS_RUN =~ ^[1-9][0-9]*$ && $TAGS =~ ^[1-9][0-9]*$ ]] || { echo "whole positive numbers, please" >&2; exit 2; }

TMP=$(mktemp -d /tmp/pemrix-chain.XXXXXX)
PIDS=()
WORKTREE=""
# Stops every process started (newest first): TERM, 10 s, then KILL.
stop_all() {
  local pid i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    pid=${PIDS[$i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  PIDS=()
}
cleanup() {
  stop_all
  if [ -n "$WORKTREE" ]; then git -C "$ROOT" worktree remove --force "$WORKTREE" 2>/dev/null || true; fi
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# build SOURCE BUILD_DIR: the three programs of the chain, Release, no tests.
build() {
  echo "building $1 into $2" >&2
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DPEMRIX_TESTS=OFF -DPEMRIX_SANITIZE=OFF -DPEMRIX_BENCH=OFF \
    >"$TMP/build.log" 2>&1 &&
    cmake --build "$2" -j "$(nproc)" --target Pemrix.DataLogger pemrix-daqsvc quillet >>"$TMP/build.log" 2>&1 ||
    { tail -n 30 "$TMP/build.log" >&2; echo "build failed" >&2; exit 1; }
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 10000))
    port_free "$p" && [[ " ${USED:-} " != *" $p "* ]] && break
  done
  USED="${USED:-} $p"
  echo "$p"
}

# start DIR COMMAND...: in DIR, output to DIR/out.txt; its pid joins PIDS.
start() {
  local dir=$1
  shift
  (cd "$dir" && exec "$@" >"$dir/out.txt" 2>&1 </dev/null) &
  PIDS+=("$!")
}

# wait_until SECONDS COMMAND...: polls COMMAND every 0.1 s.
wait_until() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    "${@:2}" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "not ready after $1 s: ${*:2}" >&2
  return 1
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
now_ns() { date +%s%N; }

# run NAME LABEL BIN_DIR: one whole chain in $TMP/NAME, measured; prints one report.
run() {
  local label=$2 bin=$3 run="$TMP/$1" ua influx rpc dir
  mkdir -p "$run"/{ua,influxdb,daqsvc,datalogger,project}
  ua=$(free_port) influx=$(free_port) rpc=$(free_port)

  start "$run/ua" node "$ROOT/testing/opcua-server/server.js" --port "$ua" --bulk "$TAGS" --pki "$run/ua/pki"
  local ua_pid=${PIDS[-1]}
  wait_until 90 grep -q '"listening"' "$run/ua/out.txt"

  sed -e "s|@RUN@|$run|g" -e "s|@INFLUX_PORT@|$influx|g" -e "s|@INFLUX_RPC_PORT@|$rpc|g" \
    config/demo/influxdb.conf >"$run/influxdb/influxdb.conf"
  start "$run/influxdb" influxd -config "$run/influxdb/influxdb.conf"
  local influx_pid=${PIDS[-1]}
  wait_until 60 curl -sf "http://127.0.0.1:$influx/ping"

  for dir in daqsvc datalogger; do sed -e "s|@NAME@|$dir|g" config/demo/log.conf >"$run/$dir/log.conf"; done
  jq -n --argjson n "$TAGS" '{name: "Chain", parameters: [range($n) |
      {id: "B\(.)", type: "uint32", attributes: {address: {node_id: "1:Bulk.\(.)"}}}]}' >"$run/daqsvc/chain.profile.json"
  jq -n --arg run "$run" --arg url "opc.tcp://127.0.0.1:$ua" '{daq_api: "ipc://\($run)/daq.api.ipc",
      daq_event: "ipc://\($run)/daq.event.ipc", cycle_ms: 100,
      devices: [{id: "plc", driver: "Quillet.drv", profile: "chain.profile.json", channel: {endpoint: $url}}]}' \
    >"$run/daqsvc/daqsvc.json"
  start "$run/daqsvc" "$bin/pemrix-daqsvc" "$run/daqsvc/daqsvc.json"
  local daq_pid=${PIDS[-1]}
  wait_until 20 grep -q "DAQ Service Started" "$run/daqsvc/logs/daqsvc.log"

  jq -n --arg run "$run" '{project_path: "\($run)/project", daq_api: "ipc://\($run)/daq.api.ipc",
      daq_event: "ipc://\($run)/daq.event.ipc"}' >"$run/datalogger/app.conf"
  jq -n --argjson n "$TAGS" --argjson port "$influx" '{database: {driver: "influxdb",
      influxdb: {host: "127.0.0.1", port: $port, database_name: "chain"}},
      measurements: [{id: "chain", cycle_ms: 100,
        fields: ([range($n) | {"f\(.)": {device_id: "plc", tag_id: "B\(.)"}}] | add)}]}' \
    >"$run/project/data_logger.json"
  start "$run/datalogger" "$bin/Pemrix.DataLogger"
  local logger_pid=${PIDS[-1]}

  sleep "$WARMUP"
  local pids=("$ua_pid" "$daq_pid" "$logger_pid" "$influx_pid") before=() after=() from to i
  for i in "${!pids[@]}"; do before[i]=$(cpu_ticks "${pids[$i]}"); done
  from=$(now_ns)
  sleep "$SECONDS_RUN"
  to=$(now_ns)
  for i in "${!pids[@]}"; do after[i]=$(cpu_ticks "${pids[$i]}"); done
  sleep 2  # the last batches land

  local points
  points=$(curl -s -G "http://127.0.0.1:$influx/query" --data-urlencode "db=chain" \
    --data-urlencode "q=SELECT count(f0) FROM chain WHERE time >= $from AND time < $to" |
    jq '.results[0].series[0].values[0][1] // 0')
  local fields=$((points * TAGS)) hz names=("opcua server" "pemrix-daqsvc" "Pemrix.DataLogger" "influxd")
  hz=$(getconf CLK_TCK)
  awk -v l="$label" -v p="$points" -v t="$TAGS" -v s="$SECONDS_RUN" \
    'BEGIN {printf "%s: %d points of %d fields stored in %d s (%.1f %% of the schedule)\n", l, p, t, s, p * 10 / s}'
  for i in "${!pids[@]}"; do
    awk -v n="${names[$i]}" -v d="$((after[i] - before[i]))" -v hz="$hz" -v f="$fields" -v s="$SECONDS_RUN" \
      'BEGIN {printf "  %-18s %7.1f ms CPU per 1,000 fields stored (%5.1f %% of a core)\n", n,
              d * 1000 / hz * 1000 / (f ? f : 1), d * 100 / hz / s}'
  done
  stop_all
}

if [ -n "$BASELINE" ]; then
  # Always the same folder, so that its build (and the compiler cache) is reused.
  WORKTREE="$ROOT/build-chain-base/src"
  git worktree remove --force "$WORKTREE" >/dev/null 2>&1 || rm -rf "$WORKTREE"
  git worktree prune
  git worktree add --detach "$WORKTREE" "$BASELINE" >/dev/null 2>&1 || { echo "no revision $BASELINE" >&2; exit 2; }
  build "$WORKTREE" "$ROOT/build-chain-base/build"
fi
build "$ROOT" "$ROOT/build-chain"
if [ -n "$BASELINE" ]; then run base "baseline $BASELINE" "$ROOT/build-chain-base/build/bin"; fi
run this "this tree $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . 2>/dev/null || echo +changes)" \
  "$ROOT/build-chain/bin"
