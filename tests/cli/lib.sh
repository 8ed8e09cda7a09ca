# Helpers sourced by the tests of this folder.

# wait_ready OUTPUT_FILE: waits up to 10 s for "listening on 127.0.0.1:PORT"
# in the file and prints PORT; fails when it does not come.
wait_ready() {
  local port
  for _ in $(seq 200); do
    port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$1" | cut -d: -f2)
    [[ -n $port ]] && { echo "$port"; return 0; }
    sleep 0.05
  done
  return 1
}

# scratch: a private folder in $work, removed at exit together with the
# servers whose pids the test keeps in $emu_pid and $crafted_pid.
scratch() {
  work=$(mktemp -d)
  emu_pid= crafted_pid=
  failures=0
  trap cleanup EXIT
}
cleanup() {
  local pid
  for pid in "${emu_pid:-}" "${crafted_pid:-}"; do
    [[ -n $pid ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
# fail MESSAGE: one failure more, said on stderr.
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
