"""Presses the installer's button twice in a row the way a screen reader does, through the desktop's
accessibility bus (AT-SPI), then ends the installer through the same button once the screen says
that the application is installed.

Usage (under a session bus of its own, with Debian's Python):
    dbus-run-session -- /usr/bin/python3 atspi_double_press.py INSTALLER LOG
Exits 0 once the installer has ended with status 0; otherwise prints what went wrong (on standard
output) and exits 1.
Every wait is bounded and ends as soon as what it waits for is there.
"""
import subprocess
import sys
import time

import pyatspi
from gi.repository import Gio, GLib

WAIT_SECONDS = 20


def wait_for(what, find):
    deadline = time.monotonic() + WAIT_SECONDS
    while True:
        found = find()
        if found:
            return found
        if time.monotonic() > deadline:
            raise RuntimeError(f"gave up waiting for {what}")
        time.sleep(0.05)


def descendants(node):
    for index in range(node.childCount):
        child = node.getChildAtIndex(index)
        if child is not None:
            yield child
            yield from descendants(child)


def find(application, role, name):
    for node in descendants(application):
        if node.getRole() == role and node.name == name:
            return node
    return None


def press(button):
    action = button.queryAction()
    names = [action.getName(index) for index in range(action.nActions)]
    if "Press" not in names:
        raise RuntimeError(f"the button '{button.name}' offers no Press action")
    action.doAction(names.index("Press"))


def enabled(node):
    return node is not None and node.getState().contains(pyatspi.STATE_ENABLED)


def main(installer_path, log_path):
    # What a screen reader does when it starts: it turns the desktop's accessibility on.
    Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(
        "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled", GLib.Variant("b", True))),
        None, Gio.DBusCallFlags.NONE, -1, None)

    with open(log_path, "w") as log:
        installer = subprocess.Popen([installer_path], stderr=log)
    try:
        desktop = pyatspi.Registry.getDesktop(0)
        application = wait_for("the installer on the accessibility bus", lambda: next(
            (app for app in desktop if app is not None and app.name == "Instalator Vantorel"),
            None))
        wait_for("the heading", lambda: find(application, pyatspi.ROLE_HEADING,
                                             "Zainstaluj Vantorel"))
        button = wait_for("the push button", lambda: find(
            application, pyatspi.ROLE_PUSH_BUTTON, "Zainstaluj i uruchom Vantorel"))
        press(button)
        press(button)
        wait_for("the heading of the finished installation", lambda: find(
            application, pyatspi.ROLE_HEADING, "Vantorel jest zainstalowany"))
        close = wait_for("an enabled button that ends the installer", lambda: next(
            (node for node in [find(application, pyatspi.ROLE_PUSH_BUTTON, "Zamknij instalator")]
             if enabled(node)), None))
        press(close)
        status = installer.wait(timeout=WAIT_SECONDS)
        if status != 0:
            raise RuntimeError(f"the installer ended with status {status}")
    except Exception as error:  # every failure is reported in one line
        installer.kill()
        installer.wait()
        print(f"  {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
