# Shell helpers for driving the installer window in an X server (sourced by scripts/e2e and
# scripts/run-installer).

# Waits up to 20 s (or $wait_seconds) for a command to succeed.
wait_for() {
  local deadline=$((SECONDS + ${wait_seconds:-20}))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# The X window id of the installer's visible window; fails while there is none.
window_of_installer() {
  local window
  window=$(xdotool search --onlyvisible --name '^Instalator Vantorel$' 2>/dev/null | head -1)
  [[ -n "$window" ]] && echo "$window"
}

# Focuses the installer window and types the given keys (xdotool names) one after another.
press_keys() {
  local window
  window=$(window_of_installer) || return 1
  timeout 10 xdotool windowfocus --sync "$window" || return 1
  xdotool key "$@"
}
press_return() { press_keys Return; }

# PIDs whose executable lies inside the given bundle.
pids_running_from() {
  local exe
  for exe in /proc/[0-9]*/exe; do
    [[ "$(readlink "$exe" 2>/dev/null)" == "$1"/Contents/MacOS/* ]] && basename "$(dirname "$exe")"
  done
  return 0
}
is_running_from() { [[ -n "$(pids_running_from "$1")" ]]; }
