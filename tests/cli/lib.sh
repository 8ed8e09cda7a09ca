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
