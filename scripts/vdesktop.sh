#!/usr/bin/env bash
# A private virtual X11 desktop with its own session and accessibility buses.
#
#   vdesktop.sh up [APP...]          start it; prints the environment to use
#                                    ("export NAME=value" lines) on stdout
#   vdesktop.sh down [STATE_DIR]     stop everything it started, by pid, and
#                                    remove its runtime files (STATE_DIR
#                                    defaults to $KEST_VDESKTOP_STATE)
#   vdesktop.sh run [--app APP]... -- COMMAND [ARG...]
#                                    up, run COMMAND in that environment, down;
#                                    exits with COMMAND's status
#   vdesktop.sh wait-app NAME [SECONDS]
#                                    wait until the application NAME is a child
#                                    of the accessibility desktop and has
#                                    children (uses the current environment)
#
# Each "up" gets its own display number (chosen by the X server itself through
# -displayfd), its own session bus, accessibility bus and runtime directory, so
# two desktops never share anything. Every process is started in a session of
# its own (setsid), its pid recorded in the state directory; "down" signals
# those process groups and nothing else. APP is an executable started after the
# window manager; "up" returns once each is on the accessibility bus.
#
# Environment given to every process: an inherited AT_SPI_BUS_ADDRESS is
# removed (a stale one makes the registry and every application hang for about
# 25 s; applications find the bus through the AT_SPI_BUS root-window property),
# the runtime directory is private (0700), GSettings use the memory backend (no
# dconf daemon), GDK uses X11, GTK 4 draws with cairo, and NO_AT_BRIDGE is
# never set. GTK 4 joins the accessibility bus from an idle callback, and on
# Xvfb its default OpenGL renderer (Mesa's llvmpipe) redraws the widget
# factory's animations more slowly than its frame clock asks: the main loop is
# never idle, and the application never appears on the bus. Drawn with cairo
# it is idle most of the time.
set -euo pipefail

readonly SCREEN_GEOMETRY=1920x1080x24
readonly READY_TIMEOUT_S=20
readonly APP_TIMEOUT_S=${KEST_APP_TIMEOUT_S:-30}
readonly SYSTEM_PYTHON=/usr/bin/python3

die() { echo "vdesktop: $*" >&2; exit 1; }
log() { echo "vdesktop: $*" >&2; }

find_libexec() {
  local name=$1 dir
  for dir in /usr/libexec /usr/lib/at-spi2-core /usr/lib/x86_64-linux-gnu/at-spi2-core /usr/lib/at-spi2; do
    if [[ -x "$dir/$name" ]]; then echo "$dir/$name"; return 0; fi
  done
  return 1
}

# wait_until SECONDS DESCRIPTION COMMAND...: polls COMMAND every 50 ms.
wait_until() {
  local limit=$1 what=$2; shift 2
  local deadline=$(( $(date +%s%N) / 1000000 + limit * 1000 ))
  until "$@" >/dev/null 2>&1; do
    if (( $(date +%s%N) / 1000000 > deadline )); then
      log "timed out after ${limit}s waiting for $what"
      return 1
    fi
    sleep 0.05
  done
}

# The kernel's start time of a process (clock ticks since boot); with the pid
# it names one process for good, whatever it later execs.
start_time() {
  local stat
  { stat=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
  local -a fields=(${stat##*) })
  (( ${#fields[@]} > 19 )) || return 1
  echo "${fields[19]}"
}

# start NAME COMMAND...: starts COMMAND in its own session (so its pid is also
# its process group) with the desktop's environment, output to NAME.log, and
# records "pid start-time NAME" in pids.
start() {
  local name=$1; shift
  setsid "$@" </dev/null >"$STATE/$name.log" 2>&1 &
  local pid=$!
  # A process that already ended gets no start time and is never signalled.
  echo "$pid $(start_time "$pid" 2>/dev/null || echo gone) $name" >>"$STATE/pids"
  log "started $name (pid $pid)"
}

desktop_env() {
  export KEST_VDESKTOP_STATE="$STATE"
  unset AT_SPI_BUS_ADDRESS NO_AT_BRIDGE WAYLAND_DISPLAY DBUS_SESSION_BUS_PID
  export XDG_RUNTIME_DIR="$STATE/runtime"
  export XDG_CONFIG_HOME="$STATE/config"
  export XDG_CACHE_HOME="$STATE/cache"
  export XDG_DATA_HOME="$STATE/data"
  export GSETTINGS_BACKEND=memory
  export GDK_BACKEND=x11
  export GSK_RENDERER=cairo
}

print_env() {
  cat <<EOF
unset AT_SPI_BUS_ADDRESS NO_AT_BRIDGE WAYLAND_DISPLAY
export DISPLAY=$DISPLAY
export DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
export XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR
export XDG_CONFIG_HOME=$XDG_CONFIG_HOME
export XDG_CACHE_HOME=$XDG_CACHE_HOME
export XDG_DATA_HOME=$XDG_DATA_HOME
export GSETTINGS_BACKEND=memory
export GDK_BACKEND=x11
export GSK_RENDERER=cairo
export KEST_VDESKTOP_STATE=$STATE
EOF
}

root_property_set() { xprop -display "$DISPLAY" -root "$1" | grep -q -E "$2"; }

# The accessibility bus address, as applications get it from the session bus.
a11y_address() {
  dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
    org.a11y.Bus.GetAddress | sed -n 's/^ *\(unix:[^ ]*\) *$/\1/p' | grep .
}

registry_owned() {
  local a11y
  a11y=$(a11y_address) || return 1
  dbus-send --bus="$a11y" --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.a11y.atspi.Registry | grep -q 'boolean true'
}

# Exits 0 when the application named argv[1] is on the accessibility bus with
# at least one child (its windows are registered).
readonly APP_PROBE='
import sys
import pyatspi
desktop = pyatspi.Registry.getDesktop(0)
for i in range(desktop.childCount):
    app = desktop.getChildAtIndex(i)
    if app is not None and app.name == sys.argv[1] and app.childCount > 0:
        sys.exit(0)
sys.exit(1)
'

cmd_wait_app() {
  local name=${1:?application name} limit=${2:-$APP_TIMEOUT_S}
  # Each probe is bounded by timeout(1): a stuck application must not hang it.
  wait_until "$limit" "application $name on the accessibility bus" \
    timeout 5 "$SYSTEM_PYTHON" -c "$APP_PROBE" "$name"
}

# Shows what the started processes said, then stops them.
up_failed() {
  trap - EXIT
  log "start failed; the processes' output follows, then everything is stopped"
  tail -n 20 "$STATE"/*.log >&2 || true
  cmd_down "$STATE" >/dev/null 2>&1 || true
}

cmd_up() {
  STATE=$(mktemp -d "${TMPDIR:-/tmp}/kest-vdesktop.XXXXXX")
  chmod 0700 "$STATE"
  mkdir -m 0700 "$STATE/runtime" "$STATE/config" "$STATE/cache" "$STATE/data"
  : >"$STATE/pids"
  desktop_env
  # Still pictures: GTK 4 reports a spinning widget's bounds through its
  # rotation, so with animations on no two reads of a window agree.
  mkdir -p "$XDG_CONFIG_HOME/gtk-4.0"
  printf '[Settings]\ngtk-enable-animations=false\n' >"$XDG_CONFIG_HOME/gtk-4.0/settings.ini"
  # Any failure until the desktop is complete stops what was started.
  trap up_failed EXIT

  local launcher registryd
  launcher=$(find_libexec at-spi-bus-launcher) || die "at-spi-bus-launcher not found"
  registryd=$(find_libexec at-spi2-registryd) || die "at-spi2-registryd not found"

  # The X server picks a free display number and writes it once it accepts
  # connections; that is both the number and the readiness signal.
  start xvfb bash -c 'exec Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp -noreset 3>"$2"' \
    xvfb "$SCREEN_GEOMETRY" "$STATE/display"
  wait_until "$READY_TIMEOUT_S" "the X server" grep -q '^[0-9]' "$STATE/display"
  export DISPLAY=":$(head -n1 "$STATE/display")"
  echo "$DISPLAY" >"$STATE/display"
  wait_until "$READY_TIMEOUT_S" "the X server to answer" xdpyinfo -display "$DISPLAY"

  start session-bus bash -c 'exec dbus-daemon --session --nofork --address="$1" --print-address=3 3>"$2"' \
    session-bus "unix:path=$XDG_RUNTIME_DIR/bus" "$STATE/session-bus.address"
  wait_until "$READY_TIMEOUT_S" "the session bus" grep -q '^unix:' "$STATE/session-bus.address"
  export DBUS_SESSION_BUS_ADDRESS
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$STATE/session-bus.address")

  start a11y-bus "$launcher" --launch-immediately
  wait_until "$READY_TIMEOUT_S" "the accessibility bus" a11y_address
  start registry "$registryd"
  wait_until "$READY_TIMEOUT_S" "the accessibility registry" registry_owned

  start openbox openbox --sm-disable
  wait_until "$READY_TIMEOUT_S" "the window manager" root_property_set _NET_SUPPORTING_WM_CHECK 'window id'

  local app
  for app in "$@"; do
    start "app-$(basename "$app")" "$app"
    cmd_wait_app "$(basename "$app")" "$APP_TIMEOUT_S"
  done
  trap - EXIT
  print_env
}

# True while a process of one of the given process groups runs (zombies,
# which an init that does not reap may keep around, do not count).
groups_alive() {
  local wanted=" $* "
  ps -e -o pgid=,stat= |
    awk -v wanted="$wanted" '$2 !~ /^Z/ && index(wanted, " " $1 " ") { found = 1 } END { exit !found }'
}

# Process groups are stopped with TERM, then KILL after 3 s. A recorded pid is
# signalled only while its start time is the recorded one, so a recycled pid is
# never hit.
cmd_down() {
  local state=${1:-${KEST_VDESKTOP_STATE:-}}
  [[ -n "$state" && -f "$state/pids" ]] || die "no desktop state at '${state}'"
  local -a groups=()
  local pid started name
  while read -r pid started name; do
    if [[ "$(start_time "$pid" 2>/dev/null)" == "$started" ]]; then
      groups+=("$pid")
    fi
  done < <(tac "$state/pids")
  for pid in "${groups[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  local deadline=$(( $(date +%s) + 3 ))
  while :; do
    groups_alive "${groups[@]}" || break
    if (( $(date +%s) >= deadline )); then
      for pid in "${groups[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
      break
    fi
    sleep 0.05
  done
  # An X server stopped by KILL leaves its lock and socket behind.
  local display
  display=$(head -n1 "$state/display" 2>/dev/null || true)
  if [[ "$display" =~ ^:([0-9]+)$ ]]; then
    local n=${BASH_REMATCH[1]} lock_pid
    lock_pid=$(tr -d ' ' 2>/dev/null <"/tmp/.X$n-lock" || true)
    if [[ -n "$lock_pid" ]] && ! kill -0 "$lock_pid" 2>/dev/null; then
      rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"
    fi
  fi
  rm -rf -- "$state"
  log "stopped ${#groups[@]} process groups, removed $state"
}

cmd_run() {
  local -a apps=()
  while (( $# )); do
    case $1 in
      --app) apps+=("$2"); shift 2 ;;
      --) shift; break ;;
      *) break ;;
    esac
  done
  (( $# )) || die "run: no command given"
  # Up in this shell, so that the desktop's processes are its children (reaped
  # by it) and its environment is already exported for COMMAND.
  cmd_up "${apps[@]}" >/dev/null
  trap 'cmd_down "$KEST_VDESKTOP_STATE"; exit 130' INT TERM
  local status=0
  "$@" || status=$?
  trap - INT TERM
  cmd_down "$KEST_VDESKTOP_STATE"
  return "$status"
}

main() {
  local sub=${1:-}
  shift || true
  case $sub in
    up|start) cmd_up "$@" ;;
    down|stop) cmd_down "$@" ;;
    run) cmd_run "$@" ;;
    wait-app) cmd_wait_app "$@" ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
}

main "$@"
