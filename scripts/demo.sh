#!/usr/bin/env bash
# The gateway's main job on one machine, on loopback only: installs what is
# missing, builds (no sanitizers, no tests) into build/, then runs in a fresh
# temporary folder a broker, a database, the host-service and acquisition-
# service stand-ins (the latter with Quillet.drv over a simulated device with
# changing values), Pemrix.DataLogger on a sample project and Pemrix.Daemon.
# While it runs it shows the gateway's retained status, the answer to a
# "test" request and the latest points in InfluxDB.
#
#   bash scripts/demo.sh                 refreshed in place until Ctrl-C
#   bash scripts/demo.sh --duration 30   30 seconds of plain lines, then stop
#   bash scripts/demo.sh --endpoint opc.tcp://HOST:PORT [--profile FILE]
#                        [--channel JSON]
#                                        read a real OPC UA server instead of
#                                        the simulated device: every parameter
#                                        of the profile (default
#                                        config/demo/plc/plc.profile.json)
#                                        becomes a field of measurement "plc";
#                                        --channel adds channel settings
#                                        (security, login, certificates)
#
# Every program runs in its own session, so Ctrl-C reaches only this script,
# which then stops them one by one (daemon first, broker last) and removes
# the temporary folder. Exit status 0 when everything ran and stopped in order
# (also after Ctrl-C once the dashboard shows).
set -euo pipefail
CALLER_DIR=$PWD
cd "$(dirname "$0")/.."

DURATION=0
ENDPOINT=""
PROFILE=config/demo/plc/plc.profile.json
CHANNEL='{}'
usage() { sed -n '10,20s/^#  //p' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --duration) DURATION=${2:-}; shift 2 || { usage; exit 2; } ;;
    --duration=*) DURATION=${1#*=}; shift ;;
    --endpoint) ENDPOINT=${2:-}; shift 2 || { usage; exit 2; } ;;
    --endpoint=*) ENDPOINT=${1#*=}; shift ;;
    --profile) PROFILE=${2:-}; shift 2 || { usage; exit 2; } ;;
    --profile=*) PROFILE=${1#*=}; shift ;;
    --channel) CHANNEL=${2:-}; shift 2 || { usage; exit 2; } ;;
    --channel=*) CHANNEL=${1#*=}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
if ! [[ $DURATION =~ ^[0-9]+$ ]]; then echo "--duration needs whole seconds, not '$DURATION'" >&2; exit 2; fi
if [ -n "$ENDPOINT" ] && ! [[ $ENDPOINT =~ ^opc\.tcp://[^[:space:]]+$ ]]; then
  echo "--endpoint needs an opc.tcp://host:port address, not '$ENDPOINT'" >&2; exit 2
fi
[[ $PROFILE = /* ]] || [ -f "$PROFILE" ] || PROFILE="$CALLER_DIR/$PROFILE"
if ! jq -e 'type == "object"' <<<"$CHANNEL" >/dev/null 2>&1; then
  echo "--channel needs a JSON object of channel settings, not '$CHANNEL'" >&2; exit 2
fi
if [ -n "$ENDPOINT" ] && ! jq -e '.parameters | type == "array"' "$PROFILE" >/dev/null 2>&1; then
  echo "--profile needs a device profile with a \"parameters\" array: $PROFILE" >&2; exit 2
fi
LIVE=0
[ "$DURATION" -eq 0 ] && [ -t 1 ] && LIVE=1

say() { printf '[%s] %s\n' "$(date +%T)" "$*"; }

# ---------------------------------------------------------------- build --
bash scripts/deps.sh
BUILD=${PEMRIX_DEMO_BUILD:-build}
mkdir -p "$BUILD"
say "building into $BUILD/ (log: $BUILD/demo-build.log; the first build takes minutes)"
# The build's "[ NN%]" marks: one line redrawn on a terminal, a line per
# tenth otherwise; everything goes to the log. Each target of the build counts
# its own share from 0, so only a new highest mark is shown: the line never
# goes backwards.
progress() {
  local line last=-10 pct
  : >"$BUILD/demo-build.log"
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$BUILD/demo-build.log"
    [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
    pct=$((10#${BASH_REMATCH[1]}))
    [ "$pct" -gt "$last" ] || continue
    if [ -t 1 ]; then
      printf '\r[%s] building: %3d%%' "$(date +%T)" "$pct"
    elif [ $((pct / 10)) -ne $((last / 10)) ]; then
      say "building: $pct%"
    fi
    last=$pct
  done
  if [ -t 1 ] && [ "$last" -ge 0 ]; then printf '\n'; fi
}
if ! { cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPEMRIX_TESTS=OFF -DPEMRIX_SANITIZE=OFF &&
       cmake --build "$BUILD" -j "$(nproc)" --target Pemrix.Daemon Pemrix.DataLogger pemrix-daqsvc pemrix-hostsvc quillet
     } 2>&1 | progress; then
  tail -n 30 "$BUILD/demo-build.log" >&2
  echo "build failed" >&2
  exit 1
fi
BIN=$(cd "$BUILD/bin" && pwd)

# ------------------------------------------------------------ processes --
RUN=$(mktemp -d /tmp/pemrix-demo.XXXXXX)
NAMES=()
PIDS=()
STOPPING=0

# start NAME FOLDER COMMAND...: in FOLDER, in a session of its own.
start() {
  local name=$1 dir=$2
  shift 2
  (cd "$dir" && exec setsid "$@" >"$dir/out.txt" 2>&1 </dev/null) &
  NAMES+=("$name")
  PIDS+=("$!")
}

alive() { kill -0 "$1" 2>/dev/null; }

stop_one() {
  local name=$1 pid=$2 i status
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && { say "$name did not stop within 10 s: killed"; kill -KILL "$pid" 2>/dev/null || true; }
  fi
  status=0
  wait "$pid" 2>/dev/null || status=$?
  say "stopped $name (exit status $status)"
  [ "$status" -eq 0 ] || STOP_FAILED=1
}

STOP_FAILED=0
cleanup() {
  local rc=$? i
  trap '' INT TERM  # a second Ctrl-C must not cut the stop short
  [ "$STOPPING" -eq 1 ] && return
  STOPPING=1
  [ "$LIVE" -eq 1 ] && printf '\n'
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    stop_one "${NAMES[$i]}" "${PIDS[$i]}"
    if [ "${NAMES[$i]}" = daemon ] && [ -n "${STATUS_TOPIC:-}" ]; then
      say "status after the daemon stopped: $(read_status)"
    fi
  done
  rm -rf "$RUN"
  say "removed $RUN"
  [ "$rc" -eq 0 ] && [ "$STOP_FAILED" -ne 0 ] && rc=1
  exit "$rc"
}
trap cleanup EXIT
# Ctrl-C (or SIGTERM) is how the dashboard is meant to end: status 0 then,
# unless a program failed to stop in order. During start-up it is a failure.
DASHBOARD=0
trap '[ "$DASHBOARD" -eq 1 ] && exit 0; exit 130' INT
trap '[ "$DASHBOARD" -eq 1 ] && exit 0; exit 143' TERM

# show_logs FOLDER...: the last lines of every log the programs there wrote
# (the broker logs to its own file, not to its output).
show_logs() {
  local dir log
  for dir in "$@"; do
    for log in "$dir"/logs/*.log "$dir"/*.log "$dir"/out.txt; do
      [ -s "$log" ] && { echo "--- $log" >&2; tail -n 15 "$log" >&2; }
    done
  done
  return 0
}

fail() {
  echo "demo failed: $*" >&2
  show_logs "$RUN"/*/
  exit 1
}

# wait_for SECONDS WHAT PID COMMAND...: polls COMMAND every 0.1 s while PID lives.
wait_for() {
  local seconds=$1 what=$2 pid=$3 i
  shift 3
  for ((i = 0; i < seconds * 10; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    alive "$pid" || fail "$what: the process ended"
    sleep 0.1
  done
  fail "$what: not ready after $seconds s"
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Ports come from outside the kernel's ephemeral range (where every outgoing
# connection takes its local port) and above the well-known services.
read -r EPH_LOW EPH_HIGH </proc/sys/net/ipv4/ip_local_port_range || { EPH_LOW=32768; EPH_HIGH=60999; }
# pick_ports VAR...: a fresh port in each, not listened on and not picked before.
pick_ports() {
  # Room below and above the ephemeral range; when there is next to none, any
  # port from 10000 up (a clash with an outgoing connection is then retried).
  local var p lo=$((EPH_LOW > 10000 ? EPH_LOW - 10000 : 0)) hi=$((EPH_HIGH < 65535 ? 65535 - EPH_HIGH : 0))
  ((lo + hi >= 16)) || { lo=55536 hi=0; }
  for var in "$@"; do
    while :; do
      p=$(((RANDOM * 32768 + RANDOM) % (lo + hi)))
      if ((p < lo)); then p=$((10000 + p)); else p=$((EPH_HIGH + 1 + p - lo)); fi
      port_open "$p" || [[ " ${USED_PORTS:-} " == *" $p "* ]] || break
    done
    USED_PORTS="${USED_PORTS:-} $p"
    printf -v "$var" '%s' "$p"
  done
}
pick_ports MQTT_PORT INFLUX_PORT INFLUX_RPC_PORT

# The demo's templates with this run's folder, ports and user filled in.
instantiate() {
  sed -e "s|@RUN@|$RUN|g" -e "s|@MQTT_PORT@|$MQTT_PORT|g" -e "s|@INFLUX_PORT@|$INFLUX_PORT|g" \
      -e "s|@INFLUX_RPC_PORT@|$INFLUX_RPC_PORT|g" -e "s|@USER@|$(id -un)|g" -e "s|@NAME@|$3|g" "$1" >"$2"
}
for dir in mosquitto influxdb hostsvc daqsvc datalogger daemon project runtime; do mkdir -p "$RUN/$dir"; done
MEASUREMENTS='"fast", "line", "temps"'
[ -n "$ENDPOINT" ] && MEASUREMENTS='"plc"'
configure() {
  local dir f
  instantiate config/demo/mosquitto.conf "$RUN/mosquitto/mosquitto.conf" mosquitto
  instantiate config/demo/influxdb.conf "$RUN/influxdb/influxdb.conf" influxdb
  for dir in hostsvc daqsvc datalogger daemon project; do
    for f in config/demo/$dir/*; do instantiate "$f" "$RUN/$dir/$(basename "$f")" "$dir"; done
  done
  for dir in hostsvc daqsvc datalogger daemon; do instantiate config/demo/log.conf "$RUN/$dir/log.conf" "$dir"; done
  if [ -n "$ENDPOINT" ]; then
    # One device "plc" on the real server; one measurement with every parameter.
    cp "$PROFILE" "$RUN/daqsvc/plc.profile.json"
    jq --arg url "$ENDPOINT" --argjson extra "$CHANNEL" '.devices = [{id: "plc", driver: "Quillet.drv",
         profile: "plc.profile.json", channel: ({endpoint: $url} + $extra)}]' \
      "$RUN/daqsvc/daqsvc.json" >"$RUN/daqsvc/daqsvc.json.new"
    mv "$RUN/daqsvc/daqsvc.json.new" "$RUN/daqsvc/daqsvc.json"
    jq --slurpfile p "$PROFILE" '.measurements = [{id: "plc", cycle_ms: 1000,
         fields: ([$p[0].parameters[].id | {(.): {device_id: "plc", tag_id: .}}] | add)}]' \
      "$RUN/project/data_logger.json" >"$RUN/project/data_logger.json.new"
    mv "$RUN/project/data_logger.json.new" "$RUN/project/data_logger.json"
  fi
}
configure

log_has() { grep -q -- "$2" "$RUN/$1/logs/$1.log" 2>/dev/null; }
influx_up() { [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$INFLUX_PORT/ping")" = 204 ]; }
mqtt_up() { port_open "$MQTT_PORT"; }

# serve NAME SECONDS READY "PORT_VARS" COMMAND...: starts a server in
# $RUN/NAME and waits until READY holds. A server that ends first, most likely
# because its port was taken since it was picked, is shown with its own log
# and started again on fresh ports (three tries).
serve() {
  local name=$1 seconds=$2 ready=$3 ports=$4 try i pid
  shift 4
  for try in 1 2 3; do
    start "$name" "$RUN/$name" "$@"
    pid=${PIDS[-1]}
    for ((i = 0; i < seconds * 10; i++)); do
      "$ready" && return 0
      alive "$pid" || break
      sleep 0.1
    done
    alive "$pid" && fail "$name: not ready after $seconds s"
    wait "$pid" 2>/dev/null || true
    unset 'PIDS[-1]' 'NAMES[-1]'
    echo "$name ended before it was ready (try $try of 3):" >&2
    show_logs "$RUN/$name"
    # shellcheck disable=SC2086
    pick_ports $ports
    configure
  done
  fail "$name could not start"
}

serve mosquitto 10 mqtt_up MQTT_PORT mosquitto -c "$RUN/mosquitto/mosquitto.conf"
serve influxdb 60 influx_up "INFLUX_PORT INFLUX_RPC_PORT" influxd -config "$RUN/influxdb/influxdb.conf"
say "temporary folder $RUN; broker on 127.0.0.1:$MQTT_PORT, InfluxDB on 127.0.0.1:$INFLUX_PORT"
start hostsvc "$RUN/hostsvc" "$BIN/pemrix-hostsvc" "$RUN/hostsvc/hostsvc.json"
wait_for 10 hostsvc "${PIDS[-1]}" log_has hostsvc "RPC Server Bind"
start daqsvc "$RUN/daqsvc" "$BIN/pemrix-daqsvc" "$RUN/daqsvc/daqsvc.json"
wait_for 10 daqsvc "${PIDS[-1]}" log_has daqsvc "DAQ Service Started"
start datalogger "$RUN/datalogger" "$BIN/Pemrix.DataLogger"
start daemon "$RUN/daemon" "$BIN/Pemrix.Daemon"
wait_for 10 daemon "${PIDS[-1]}" log_has daemon "Status Topic   : "

# The daemon names its topics in its log (its device id comes from
# /etc/gateway.json, "gateway" without it).
topic() { sed -n "s/.*$1 *: //p" "$RUN/daemon/logs/daemon.log" | head -n 1; }
REQUEST_TOPIC=$(topic "Request Topic")
RESPONSE_TOPIC=$(topic "Response Topic")
STATUS_TOPIC=$(topic "Status Topic")

read_status() {
  local s
  s=$(mosquitto_sub -h 127.0.0.1 -p "$MQTT_PORT" -t "$STATUS_TOPIC" -C 1 -W 2 2>/dev/null | tr -d '\000') || true
  echo "${s:-(none)}"
}
status_online() { [ "$(read_status)" = online ]; }
wait_for 15 daemon "${PIDS[-1]}" status_online
say "gateway running: $STATUS_TOPIC"
[ -n "$ENDPOINT" ] && say "reading $ENDPOINT (acquisition log: $RUN/daqsvc/logs/daqsvc.log)"

# ------------------------------------------------------------- dashboard --
influx_query() {
  curl -s -G "http://127.0.0.1:$INFLUX_PORT/query" --data-urlencode "db=gateway_demo" \
    --data-urlencode "epoch=ms" --data-urlencode "q=$1"
}

# One line per measurement: name, time of the latest point (UTC), points in
# the last 10 s, the point's fields.
points_table() {
  local latest counts
  latest=$(influx_query "SELECT * FROM $MEASUREMENTS GROUP BY * ORDER BY time DESC LIMIT 1")
  counts=$(influx_query "SELECT count(*) FROM $MEASUREMENTS WHERE time > now() - 10s")
  jq -rn --argjson latest "${latest:-null}" --argjson counts "${counts:-null}" '
    ([$counts.results[0].series[]? | {(.name): (.values[0][1:] | max)}] | add // {}) as $n
    | [$latest.results[0].series[]?] | sort_by(.name)[]
    | .columns as $c | .values[0] as $v
    | [ .name,
        (($v[0] / 1000 | floor | strftime("%H:%M:%S")) + "." + ("00" + ($v[0] % 1000 | tostring))[-3:]),
        ($n[.name] // 0 | tostring),
        ([range(1; $c | length) | select($v[.] != null)
          | "\($c[.])=\($v[.] | if type == "number" and . != floor then . * 1000 | round / 1000 else . end | tojson)"] | join(" ")) ]
    | "\(.[0] | . + "       " | .[:7]) \(.[1])  \(.[2] | "   " + . | .[-3:])/10s  \(.[3])"' 2>/dev/null || true
}

test_answer() {
  local a
  a=$(mosquitto_rr -h 127.0.0.1 -p "$MQTT_PORT" -t "$REQUEST_TOPIC" -e "$RESPONSE_TOPIC" -W 3 \
        -m "{\"command\":\"test\",\"id\":$1,\"sent\":\"$(date +%T)\"}" 2>/dev/null | tr -d '\000' | jq -c . 2>/dev/null) || true
  echo "${a:-(no answer)}"
}

check_alive() {
  local i
  for ((i = 0; i < ${#PIDS[@]}; i++)); do
    alive "${PIDS[$i]}" || fail "${NAMES[$i]} ended unexpectedly"
  done
}

STARTED=$SECONDS
DASHBOARD=1
[ "$LIVE" -eq 1 ] && printf '\033[H\033[2J'
n=0
while :; do
  n=$((n + 1))
  check_alive
  status=$(read_status)
  answer=$(test_answer "$n")
  table=$(points_table)
  if [ "$LIVE" -eq 1 ]; then
    {
      printf 'Pemrix gateway demo  %s  (running %d s, Ctrl-C stops)\n\n' "$(date +%T)" $((SECONDS - STARTED))
      printf 'status    %s = %s\n' "$STATUS_TOPIC" "$status"
      printf 'test      %s\n\n' "$answer"
      printf 'InfluxDB  database gateway_demo, latest point per measurement (UTC)\n'
      printf '%s\n' "${table:-(no points yet)}" | sed 's/^/          /'
      printf '\nfolder    %s\n' "$RUN"
    } | sed 's/$/\x1b[K/' | { printf '\033[H'; cat; printf '\033[J'; }
    sleep 1
  else
    say "status $STATUS_TOPIC = $status"
    say "test answer $answer"
    printf '%s\n' "${table:-(no points yet)}" | while IFS= read -r line; do say "influx $line"; done
    [ "$DURATION" -gt 0 ] && [ $((SECONDS - STARTED)) -ge "$DURATION" ] && break
    sleep 2
  fi
done
say "ran $((SECONDS - STARTED)) s; stopping"
