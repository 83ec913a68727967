# The installer from its disk image on the desktops people use, sourced by scripts/e2e (its own
# ctest entry, e2e_desktops): a real Wayland compositor (sway, headless, as the unprivileged user
# nobody, since it refuses root) beside the virtual X server, the system's Qt hidden as in
# from-image, and the environment a user's session may hold. Each row of the table below starts the
# installer through the image's link on one display, with the given environment: its window
# appears, Return installs, the application runs and shows a window, no Qt file outside the two
# bundles is mapped, and the application received every variable of the row as the installer did.
# On the Wayland display both programs must be Wayland clients that map Qt's Wayland client library
# from their own bundles; a screenshot of each row's installer window is checked for the screen's
# blue button and kept in build/e2e-screenshots/.
#
# The foreign Qt folders are the system's own, seen through second, read-only mounts made before the
# system's Qt is hidden: a program that followed the variables would load them and show up in its
# mappings. They lie outside the scenario's folder, which is removed at the end.

desktop_rows=(
  # name                 display  environment
  "wayland-session       wayland"
  "plugin-paths          x11      QT_PLUGIN_PATH=@/plugins QT_QPA_PLATFORM_PLUGIN_PATH=@/plugins/platforms"
  "qml-paths             x11      QML2_IMPORT_PATH=@/qml QML_IMPORT_PATH=@/qml"
  "library-path          x11      LD_LIBRARY_PATH=@/lib"
  "wayland-named-on-x11  x11      QT_QPA_PLATFORM=wayland"
  "xcb-named-on-wayland  wayland  QT_QPA_PLATFORM=xcb QT_PLUGIN_PATH=@/plugins"
)

# Runs a command as the desktop's user, in its session.
as_desktop_user() {
  setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
    env HOME="$home" XDG_RUNTIME_DIR="$sway_runtime" WAYLAND_DISPLAY="$wayland_display" \
    SWAYSOCK="$(compgen -G "$sway_runtime/sway-ipc.*.sock")" "$@"
}

# Starts sway headless as nobody, with its runtime folder in the scenario's folder.
start_sway() {
  sway_runtime="$home/sway-runtime"
  mkdir -m 0700 "$sway_runtime"
  chown nobody "$sway_runtime"
  # No XWayland: on the Wayland display a program is a Wayland client or shows nothing.
  printf 'xwayland disable\noutput HEADLESS-1 resolution 1024x768\n' >"$home/sway.conf"
  setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
    env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$sway_runtime" WLR_BACKENDS=headless \
    WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 sway -c "$home/sway.conf" >"$home/sway.log" 2>&1 &
  sway_pid=$!
  wait_for compgen -G "$sway_runtime/wayland-[0-9]" >/dev/null ||
    { fail "sway did not start: $(tail -3 "$home/sway.log")"; kill "$sway_pid"; return 1; }
  wayland_display=$(basename "$(compgen -G "$sway_runtime/wayland-[0-9]" | head -1)")
}

desktops() {
  local tool
  for tool in sway grim wtype swaymsg setpriv; do
    command -v "$tool" >/dev/null || { echo "  SKIP: $tool is not installed (scripts/install-deps)"; return 0; }
  done
  ((EUID == 0)) && id nobody >/dev/null 2>&1 ||
    { echo "  SKIP: needs root and the user nobody to run sway as an ordinary user"; return 0; }
  chmod 0755 "$home"  # the desktop's user reaches its home folders below it
  local sway_runtime wayland_display sway_pid foreign shots="$home/shots"
  start_sway || return 0
  foreign=$(mktemp -d /tmp/vantorel-foreign.XXXXXX)
  chmod 0755 "$foreign"
  mkdir -m 0777 "$shots"
  in_private_namespace desktops-isolated sway_runtime="$sway_runtime" \
    wayland_display="$wayland_display" foreign="$foreign" shots="$shots"
  kill "$sway_pid"
  rmdir "$foreign"/* "$foreign"  # the mounts on them went with the namespace
  local shot blue
  mkdir -p "$build/e2e-screenshots"
  for shot in "$shots"/*.png; do
    [[ -f "$shot" ]] || continue
    cp "$shot" "$build/e2e-screenshots/"
    # The button is some 450 x 46 pixels of the screen's blue.
    # Everything else black first, then the blue white: the white pixels are the count.
    blue=$(convert "$shot" -fuzz 3% -fill black +opaque "#007AFF" -fill white -opaque "#007AFF" \
      -format "%[fx:int(mean*w*h)]" info:)
    ((blue > 5000)) || fail "$(basename "$shot" .png): the screenshot shows no installer screen ($blue blue pixels)"
  done
}

# Mounts the system's Qt folders a second time, read-only, below $foreign, before they are hidden.
see_foreign_qt() {
  local name folder
  for name in plugins qml lib; do
    case $name in
      plugins) folder=$qt_plugins ;;
      qml) folder=$qt_qml ;;
      lib) folder=$(system_library_folder) ;;
    esac
    mkdir "$foreign/$name"
    mount --bind "$folder" "$foreign/$name" && mount -o remount,bind,ro "$foreign/$name"
  done
}

desktops-isolated() {
  local mounted way row
  chmod 0755 "$home"  # the desktop's user reaches its home folders below it
  if isolate_with_image desktops-isolated see_foreign_qt; then
    for row in "${desktop_rows[@]}"; do
      # shellcheck disable=SC2086  # the row's words
      desktop_row ${row//@\//$foreign/}
    done
  fi
  umount -l "$foreign"/* "$home/image" 2>/dev/null || true
}

# The pids' windows on the Wayland desktop, one line each: the shell they use (xdg_shell for a
# Wayland client).
wayland_windows_of() {
  as_desktop_user swaymsg -t get_tree -r 2>/dev/null | python3 -c '
import json, sys
def walk(node):
    if node.get("pid") == int(sys.argv[1]) and node.get("visible"):
        print(node.get("shell"))
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))' "$1" 2>/dev/null
}
shows_a_wayland_window() { [[ "$(wayland_windows_of "$1")" == *xdg_shell* ]]; }
shows_a_window_on() { if [[ $1 == wayland ]]; then shows_a_wayland_window "$2"; else shows_a_window "$2"; fi; }
maps_wayland_client_from() { mapped_files "$1" | grep "^$2/.*/libQt6WaylandClient\.so" >/dev/null; }

# Starts the installer through the image's link on display $1 with the environment $2...
start_from_image() {
  local display=$1 row_home=$2
  shift 2
  if [[ $display == wayland ]]; then
    (cd "$mounted" && exec setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
      env -u DISPLAY HOME="$row_home" XDG_RUNTIME_DIR="$sway_runtime" WAYLAND_DISPLAY="$wayland_display" \
      "$@" "./Instalator Vantorel") 2>"$row_home/installer.log" &
  else
    (cd "$mounted" && exec env -u WAYLAND_DISPLAY HOME="$row_home" XDG_RUNTIME_DIR="$row_home" \
      "$@" "./Instalator Vantorel") 2>"$row_home/installer.log" &
  fi
  installer_pid=$!
}

desktop_row() {
  local name=$1 display=$2 variable
  shift 2
  echo "  $name ($display${*:+, $*})"
  local row_home="$home/$name"
  local app="$row_home/Applications/Vantorel.app" app_pid
  mkdir -m 0700 "$row_home"
  [[ $display == x11 ]] || chown nobody "$row_home"
  start_from_image "$display" "$row_home" "$@"
  wait_for shows_a_window_on "$display" "$installer_pid" ||
    { fail "$name: no installer window"; cat "$row_home/installer.log"; stop_everything; return 0; }
  if [[ $display == wayland ]]; then
    as_desktop_user grim "$shots/$name.png" || fail "$name: grim took no screenshot"
    # Once the keyboard appears, Qt needs a moment for its key map before the key counts.
    as_desktop_user wtype -s 1500 -k Return
  else
    press_return
  fi
  wait_for is_running_from "$app" || { fail "$name: the application does not run"; stop_everything; return 0; }
  app_pid=$(pids_running_from "$app" | head -1)
  # Once its window shows, the application has loaded its platform plugin and QML modules too.
  wait_for shows_a_window_on "$display" "$app_pid" || fail "$name: the application shows no window"
  qt_files_mapped_outside "$installer_pid" "$mounted" | sed 's/^/    outside the image: /' | grep . &&
    fail "$name: the installer maps Qt files from outside the image"
  qt_files_mapped_outside "$app_pid" "$app" | sed 's/^/    outside the bundle: /' | grep . &&
    fail "$name: the application maps Qt files from outside its bundle"
  if [[ $display == wayland ]]; then
    maps_wayland_client_from "$installer_pid" "$mounted" || fail "$name: the installer is no Wayland client of its own Qt"
    maps_wayland_client_from "$app_pid" "$app" || fail "$name: the application is no Wayland client of its own Qt"
  fi
  for variable in "$@"; do
    grep -qzxF "$variable" "/proc/$app_pid/environ" || fail "$name: the application did not receive $variable"
  done
  stop_everything
  # The next row's installer, for the same user, would hand over to this one if it still ran.
  wait_for has_no_installer || fail "$name: the installer did not end"
}
