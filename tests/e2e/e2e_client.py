"""The members' program end to end: the real kestrova-client under Xvfb, real
nmap -sn -n of 127.0.0.0/24 (this computer's address is 127.0.0.2 through an
ifconfig stand-in), real hubs made from template/ on 127.0.0.3 and
127.0.0.5, the browser observed through an xdg-open stand-in.

usage: e2e_client.py PATH/TO/kestrova-client
"""
import os
import shutil
import subprocess
import sys
import time

import e2e_support as e2e

BINARY = os.path.abspath(sys.argv[1])
SEARCHING = "Recherche de Reseaux"
CONNECTED = "Interface Client"
# Named against their address order, so that the list's order shows which one rules.
HUBS = [("127.0.0.3", "zeta"), ("127.0.0.5", "alpha")]


class Client:
    def __init__(self, root, display):
        self.root = root
        stand_ins = os.path.join(root, "stand-ins")
        os.makedirs(stand_ins)
        e2e.write(os.path.join(stand_ins, "ifconfig"), e2e.IFCONFIG.format(host=e2e.HOST), True)
        self.browser_log = os.path.join(root, "browser.log")
        e2e.write(os.path.join(stand_ins, "xdg-open"), e2e.BROWSER.format(log=self.browser_log), True)
        self.env = e2e.system_env(stand_ins)
        self.env["DISPLAY"] = display.name
        # No system bus, so no DNS-SD daemon: the search is the sweep.
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/nonexistent/kestrova-no-bus"
        with open(os.path.join(root, "out.log"), "wb") as out, \
                open(os.path.join(root, "err.log"), "wb") as err:
            self.process = subprocess.Popen([BINARY], cwd=root, env=self.env, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=err)

    def out(self):
        with open(os.path.join(self.root, "out.log"), "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def browser_calls(self):
        if not os.path.exists(self.browser_log):
            return []
        with open(self.browser_log, encoding="utf-8") as handle:
            return handle.read().splitlines()

    def press(self, window, tabs):
        """Keyboard focus starts on the first hub button; Tab walks on."""
        e2e.xdotool(self.env, "windowfocus", "--sync", window)
        for _ in range(tabs):
            e2e.xdotool(self.env, "key", "Tab")
        e2e.xdotool(self.env, "key", "space")

    def close_with_escape(self, window):
        e2e.xdotool(self.env, "windowfocus", "--sync", window)
        e2e.xdotool(self.env, "key", "Escape")
        try:
            return self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            return None


def start_hubs(root):
    e2e.stage_workdir(root, [(name, name) for _, name in HUBS])
    hubs = []
    for host, name in HUBS:
        hubs.append(subprocess.Popen(
            ["/usr/bin/python3", "manage.py", "runserver", "--noreload", host + ":8000"],
            cwd=os.path.join(root, name), env=e2e.system_env(""), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return hubs


def two_hubs(checks, display):
    root = e2e.new_root("kestrova-client-")
    hubs, client = [], None
    try:
        hubs = start_hubs(root)
        up = all(e2e.wait_until(lambda h=host: e2e.port_open(h, 8000), 60) for host, _ in HUBS)
        checks.check(up, "the hubs listen on 127.0.0.3:8000 and 127.0.0.5:8000")
        client = Client(root, display)
        # The window is shown at once; the search runs behind it.
        window = e2e.window_id(client.env, f"^{SEARCHING}$", 30)
        checks.check(bool(window), f"the window titled {SEARCHING!r} is shown at once")
        e2e.wait_until(client.out, 30)
        checks.check(client.out() == "zetaalpha", "the two hubs' names are traced in address order",
                     client.out())
        # The trace is written as the sweep ends, just before the list is built.
        time.sleep(0.5)
        client.press(window, 1)
        calls = e2e.wait_until(client.browser_calls, 10)
        checks.check(calls == ["http://127.0.0.5:8000"],
                     "the second button asks the browser for http://127.0.0.5:8000", calls)
        title = e2e.wait_until(lambda: e2e.xdotool(client.env, "getwindowname", window) == CONNECTED, 10)
        checks.check(title, f"the title becomes {CONNECTED!r}",
                     e2e.xdotool(client.env, "getwindowname", window))
        # The round trip: the hub again, back to the live list, the other hub.
        client.press(window, 1)
        client.press(window, 1)
        back = e2e.wait_until(lambda: e2e.xdotool(client.env, "getwindowname", window) == SEARCHING, 10)
        client.press(window, 0)
        calls = e2e.wait_until(lambda: len(client.browser_calls()) == 3 and client.browser_calls(), 10)
        checks.check(back and calls == ["http://127.0.0.5:8000"] * 2 + ["http://127.0.0.3:8000"],
                     "Acceder a mon Espace, Selection des Reseaux, then the first hub", (back, calls))
        code = client.close_with_escape(window)
        checks.check(code == 0, "closing the window ends the program with status 0", code)
    finally:
        if client:
            e2e.end_tree(client.process)
        for hub in hubs:
            e2e.end_tree(hub)
        shutil.rmtree(root, ignore_errors=True)
    checks.check(not any(e2e.port_open(host, 8000) for host, _ in HUBS), "the hubs are stopped, by id")


def no_hub(checks, display):
    root = e2e.new_root("kestrova-client-")
    client = None
    try:
        client = Client(root, display)
        window = e2e.window_id(client.env, f"^{SEARCHING}$", 30)
        checks.check(bool(window), "with no hub, the window is shown all the same")
        # Long enough for the sweep of the loopback /24 to end.
        time.sleep(8)
        # The searching screen has no button: keys reach nothing.
        client.press(window, 1)
        e2e.wait_until(client.browser_calls, 2)
        checks.check(not client.browser_calls() and not client.out(),
                     "with no hub, nothing is listed and nothing is opened",
                     (client.out(), client.browser_calls()))
        checks.check(e2e.xdotool(client.env, "getwindowname", window) == SEARCHING,
                     "with no hub, the searching screen stays")
        checks.check(client.process.poll() is None, "with no hub, the program keeps running")
    finally:
        if client:
            e2e.end_tree(client.process)
        shutil.rmtree(root, ignore_errors=True)


def main():
    checks = e2e.Checks()
    display = e2e.Display()
    try:
        two_hubs(checks, display)
        no_hub(checks, display)
    finally:
        display.close()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
