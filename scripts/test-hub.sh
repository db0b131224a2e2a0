# Sourced by the scripts that drive velquor-test-hub from the shell.
#
#   start_test_hub HUB_BINARY WORK_DIR [hub options...]
#
# Starts the hub in the background with its ready line in WORK_DIR/hub.json
# and waits for that line (or the hub's exit, whose stderr it prints). Sets
# hub_pid, base_url and ca. stop_test_hub stops it; call it from the
# caller's EXIT trap.

start_test_hub() {
  local binary=$1 dir=$2
  shift 2
  "$binary" "$@" >"$dir/hub.json" 2>"$dir/hub.err" &
  hub_pid=$!
  for _ in $(seq 1 600); do
    [[ -s $dir/hub.json ]] && break
    kill -0 "$hub_pid" 2>/dev/null || { cat "$dir/hub.err" >&2; return 1; }
    sleep 0.05
  done
  base_url=$(sed -n 's/.*"base_url": "\([^"]*\)".*/\1/p' "$dir/hub.json")
  ca=$(sed -n 's/.*"ca": "\([^"]*\)".*/\1/p' "$dir/hub.json")
  [[ -n $base_url && -n $ca ]] || { echo "the hub did not start" >&2; return 1; }
}

stop_test_hub() {
  if [[ -n ${hub_pid:-} ]]; then
    kill "$hub_pid" 2>/dev/null || true
    wait "$hub_pid" 2>/dev/null || true
    hub_pid=""
  fi
}
