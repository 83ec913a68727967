# The runs from the disk image, sourced by scripts/e2e: from-image here, the desktops' runs in
# desktops.sh. Uses scripts/e2e's state ($build, $home, $installer_pid) and helpers (fail, wait_for,
# stop_everything).

# from-image (run by its own ctest entry): builds the image and mounts it read-only (a loop device as
# root, squashfuse otherwise). In a private mount namespace in which the system's Qt, ICU, libplist
# and QCoro files are hidden, the installer is started through the image's top-level link from the
# image's own folder; Return installs. Every Qt library that the installer maps lies inside the
# image, every one that the started application maps inside the installed bundle, and nothing that
# application inherited names the image; $app_maps may name more files (patterns) that it must map
# from its bundle. Return ends the installer; the image then unmounts on the first try while the
# application goes on running. The image is $image_file (vendor.sh makes another).

# Mounts image $1 on folder $2; says which way ("loop" or "fuse") or fails.
mount_image() {
  if mount -o loop,ro "$1" "$2" 2>/dev/null; then
    echo loop
  elif command -v squashfuse >/dev/null && squashfuse "$1" "$2" 2>/dev/null; then
    echo fuse
  else
    return 1
  fi
}
unmount_image() {  # $1: the way it was mounted, $2: the folder
  if [[ $1 == fuse ]] && command -v fusermount3 >/dev/null; then fusermount3 -u "$2"; else umount "$2"; fi
}

# The folder of the system's Qt libraries.
system_library_folder() {
  local qt_core
  qt_core=$(ldconfig -p | awk '/libQt6Core\.so\.6 /{print $NF; exit}')
  [[ -n "$qt_core" ]] && dirname "$(realpath "$qt_core")"
}

# Hides the system's Qt, ICU, libplist and QCoro files: an empty file over each library and an empty
# folder over Qt's plugin and QML folders, so that a fall-back to them fails loudly.
hide_system_libraries() {
  local library_folder library
  library_folder=$(system_library_folder) || { fail "the system's Qt library was not found"; return 1; }
  : >"$home/empty-file"
  mkdir -p "$home/empty-folder"
  for library in "$library_folder"/lib{Qt6,icu,plist,QCoro}*.so*; do
    [[ -f "$library" && ! -L "$library" ]] && mount --bind "$home/empty-file" "$library"
  done
  for library in "$qt_plugins" "$qt_qml"; do mount --bind "$home/empty-folder" "$library"; done
  [[ ! -s "$library_folder/libQt6Core.so.6" ]] || { fail "the system's Qt library is still visible"; return 1; }
}

# Mapped files of process $1 that belong to Qt (its libraries, ICU, libplist, QCoro, plugins, QML
# modules) and do not lie under folder $2.
mapped_files() { sed -nE 's/^([^ ]+ +){5}(\/.*)$/\2/p' "/proc/$1/maps" | sort -u; }
qt_files_mapped_outside() {
  mapped_files "$1" |
    grep -E '/lib(Qt6|icu|plist|QCoro)[^/]*\.so|/(PlugIns|plugins|qml)/' | grep -v "^$2/"
}
# grep reads to the end: with pipefail, an early exit (-q) would make the writer's SIGPIPE a failure.
shows_a_window() { [[ -n "$(xdotool search --onlyvisible --pid "$1" 2>/dev/null)" ]]; }
maps_from() { mapped_files "$1" | grep "^$2/.*/$3" >/dev/null; }  # pid, folder, file name pattern
maps_qt_core_from() { maps_from "$1" "$2" 'libQt6Core\.so'; }

# Builds the image and runs scenario $1 in a private mount namespace (as root, or as a user mapped to
# root where the system allows that), with the rest of the arguments as its environment. The image
# is the build tree's (`make image`) unless $image_file names another, which the function
# $image_builder makes.
build_image() { cmake --build "$build" --target image; }
in_private_namespace() {
  local namespace=(unshare --mount --propagation private)
  ((EUID == 0)) || namespace=(unshare --user --map-root-user --mount --propagation private)
  "${namespace[@]}" true 2>/dev/null || { echo "  SKIP: no private mount namespace here"; return 0; }
  echo "  building the image"
  "${image_builder:-build_image}" >"$home/image.log" 2>&1 ||
    { fail "the image did not build"; tail -20 "$home/image.log"; return 0; }
  local scenario=$1
  shift
  # Qt's own folders, asked before they are hidden.
  env qt_plugins="$(qtpaths6 --query QT_INSTALL_PLUGINS)" qt_qml="$(qtpaths6 --query QT_INSTALL_QML)" \
    image_file="${image_file:-$build/Instalator Vantorel.img}" \
    "$@" "${namespace[@]}" "$0" --on-display "$build" "$scenario" || fail "the isolated run failed"
}

# Inside the namespace: mounts the image on $home/image (the way in $way) and hides the system's Qt.
isolate_with_image() {
  # Hiding libraries outside a private mount namespace would break the machine.
  [[ "$(readlink /proc/self/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ]] ||
    { fail "$1 runs only inside a private mount namespace"; return 1; }
  mounted="$home/image"
  mkdir "$mounted"
  way=$(mount_image "$image_file" "$mounted") ||
    { echo "  SKIP: neither a loop device nor squashfuse can mount the image here"; return 1; }
  [[ -z "${2:-}" ]] || $2  # what must be seen before the system's Qt is hidden
  hide_system_libraries
}

from-image() { in_private_namespace from-image-isolated; }

from-image-isolated() {
  local mounted way app_pid
  isolate_with_image from-image-isolated || return 0
  local app="$home/Applications/Vantorel.app"
  (cd "$mounted" && HOME="$home" XDG_DATA_HOME="$home/.local/share" exec "./Instalator Vantorel") \
    2>"$home/installer.log" &
  installer_pid=$!
  wait_for window_of_installer >/dev/null || { fail "no installer window"; cat "$home/installer.log"; }
  press_return
  wait_for is_running_from "$app" || fail "the application does not run"
  app_pid=$(pids_running_from "$app" | head -1)
  if [[ -n "$app_pid" ]]; then
    maps_qt_core_from "$installer_pid" "$mounted" || fail "the installer maps no Qt library from the image"
    # Once its window shows, the application has loaded its platform plugin and QML modules too.
    wait_for shows_a_window "$app_pid" || fail "the application shows no window"
    maps_qt_core_from "$app_pid" "$app" || fail "the application maps no Qt library from its bundle"
    local name
    for name in ${app_maps:-}; do
      maps_from "$app_pid" "$app" "$name" || fail "the application maps no $name from its bundle"
    done
    qt_files_mapped_outside "$installer_pid" "$mounted" | sed 's/^/  outside the image: /' | grep . &&
      fail "the installer maps Qt files from outside the image"
    qt_files_mapped_outside "$app_pid" "$app" | sed 's/^/  outside the bundle: /' | grep . &&
      fail "the application maps Qt files from outside its bundle"
    grep -qzF "$mounted" "/proc/$app_pid/environ" && fail "the application's environment names the image"
  fi
  press_return
  wait_for has_no_installer || fail "Return did not end the installer"
  if unmount_image "$way" "$mounted"; then
    is_running_from "$app" || fail "the application ended with the image"
  else
    fail "the image did not unmount ($way) after the installer ended"
    stop_everything
    umount -l "$mounted"
  fi
  return 0
}

