"""The members' program end to end: the real kestrova-client under Xvfb, real
nmap -sn -n of 127.0.0.0/24 (this computer's address is 127.0.0.2 through an
ifconfig stand-in), real hubs made from template/ on 127.0.0.3 and
127.0.0.5, and on 127.0.1.5 and 127.0.1.6 outside that /24 (named by the
member, or swept when the mask is a /23), the browser observed through an
xdg-open stand-in.

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
FAR = [("127.0.1.5", "far"), ("127.0.1.6", "farther")]
# Answers with a hub's headers, then one byte every half second.
TRICKLE = """import socket, sys, threading, time
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.1.7", 8000))
server.listen(4)
def trickle(client):
    try:
        client.recv(65536)
        client.sendall(b"HTTP/1.1 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\n")
        while True:
            client.sendall(b"g")
            time.sleep(0.5)
    except OSError:
        client.close()
while True:
    threading.Thread(target=trickle, args=(server.accept()[0],), daemon=True).start()
"""


class Client:
    def __init__(self, root, display, mask="255.255.255.0"):
        self.root = root
        stand_ins = os.path.join(root, "stand-ins")
        os.makedirs(stand_ins, exist_ok=True)
        e2e.write(os.path.join(stand_ins, "ifconfig"),
                  e2e.IFCONFIG.format(host=e2e.HOST).replace("255.255.255.0", mask), True)
        self.browser_log = os.path.join(root, "browser.log")
        e2e.write(os.path.join(stand_ins, "xdg-open"), e2e.BROWSER.format(log=self.browser_log), True)
        self.env = e2e.system_env(stand_ins)
        self.env["DISPLAY"] = display.name
        # No system bus, so no DNS-SD daemon: the search is the sweep.
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/nonexistent/kestrova-no-bus"
        self.env["XDG_CONFIG_HOME"] = os.path.join(root, "config")
        with open(os.path.join(root, "out.log"), "wb") as out, \
                open(os.path.join(root, "err.log"), "wb") as err:
            self.process = subprocess.Popen([BINARY], cwd=root, env=self.env, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=err)

    def out(self):
        with open(os.path.join(self.root, "out.log"), "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def err(self):
        with open(os.path.join(self.root, "err.log"), "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def remembered(self):
        path = os.path.join(self.root, "config", "kestrova", "hubs-connus.json")
        return open(path, encoding="utf-8").read() if os.path.exists(path) else ""

    def type_address(self, window, text):
        """Ctrl+L reaches the address field, as in a browser."""
        e2e.xdotool(self.env, "windowfocus", "--sync", window)
        e2e.xdotool(self.env, "key", "ctrl+l")
        e2e.xdotool(self.env, "type", "--delay", "5", text)
        e2e.xdotool(self.env, "key", "Return")

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
    e2e.stage_workdir(root, [(name, name) for _, name in HUBS + FAR])
    hubs = []
    for host, name in HUBS + FAR:
        hubs.append(subprocess.Popen(
            ["/usr/bin/python3", "manage.py", "runserver", "--noreload", host + ":8000"],
            cwd=os.path.join(root, name), env=e2e.system_env(""), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return hubs


def named_and_remembered(checks, display, root):
    client = None
    trickle = subprocess.Popen(["/usr/bin/python3", "-c", TRICKLE], stdin=subprocess.DEVNULL)
    try:
        client = Client(root, display)
        # The window is shown at once; the search runs behind it.
        window = e2e.window_id(client.env, f"^{SEARCHING}$", 30)
        checks.check(bool(window), f"the window titled {SEARCHING!r} is shown at once")
        e2e.wait_until(client.out, 30)
        checks.check(client.out() == "zetaalpha", "the /24's two hubs' names are traced in address order, "
                     "not those of 127.0.1.x", client.out())
        checks.check(e2e.wait_until(lambda: e2e.port_open("127.0.1.7", 8000), 10), "the trickling peer listens")
        client.type_address(window, "127.0.1.7")
        asked = time.time()
        told = e2e.wait_until(lambda: "127.0.1.7:8000 : aucune réponse" in client.err(), 10, 0.05)
        checks.check(told and time.time() - asked < 4.5 + 1.0,
                     "a peer trickling a byte every half second is told within the 4.5 s bound",
                     (round(time.time() - asked, 2), client.err()))
        client.type_address(window, "127.0.1.5")
        checks.check(e2e.wait_until(lambda: '"far"' in client.remembered(), 10),
                     "127.0.1.5, typed in, answers and is remembered", client.remembered() + client.err())
        client.type_address(window, "http://127.0.1.6:8000/")
        e2e.wait_until(lambda: '"farther"' in client.remembered(), 10)
        # The button of the hub that answered takes the keys.
        e2e.xdotool(client.env, "key", "space")
        calls = e2e.wait_until(client.browser_calls, 10)
        checks.check(calls == ["http://127.0.1.6:8000"],
                     "the pasted link's button asks the browser for http://127.0.1.6:8000", calls)
        title = e2e.wait_until(lambda: e2e.xdotool(client.env, "getwindowname", window) == CONNECTED, 10)
        checks.check(title, f"the title becomes {CONNECTED!r}",
                     e2e.xdotool(client.env, "getwindowname", window))
        # The round trip: the hub again, back to the live list, the other hub.
        client.press(window, 1)
        client.press(window, 1)
        back = e2e.wait_until(lambda: e2e.xdotool(client.env, "getwindowname", window) == SEARCHING, 10)
        client.press(window, 0)
        calls = e2e.wait_until(lambda: len(client.browser_calls()) == 3 and client.browser_calls(), 10)
        checks.check(back and calls == ["http://127.0.1.6:8000"] * 2 + ["http://127.0.0.3:8000"],
                     "Acceder a mon Espace, Selection des Reseaux, then the first hub", (back, calls))
        code = client.close_with_escape(window)
        checks.check(code == 0, "closing the window ends the program with status 0", code)
    finally:
        e2e.end_tree(client.process if client else None)
        e2e.end_tree(trickle)
    # A new window of the same member: the swept hubs, then the remembered ones, in address order.
    os.remove(os.path.join(root, "out.log"))
    client = Client(root, display)
    try:
        window = e2e.window_id(client.env, f"^{SEARCHING}$", 30)
        e2e.wait_until(client.out, 30)
        time.sleep(0.5)
        before = len(client.browser_calls())
        client.press(window, 2)
        calls = e2e.wait_until(lambda: client.browser_calls()[before:], 10)
        checks.check(calls == ["http://127.0.1.5:8000"],
                     "a new window lists 127.0.1.5 third, without typing, and its button opens it", calls)
    finally:
        e2e.end_tree(client.process)


def wide_mask(checks, display):
    root = e2e.new_root("kestrova-client-")
    client = None
    try:
        client = Client(root, display, "255.255.254.0")
        e2e.wait_until(client.out, 30)
        checks.check(client.out() == "zetaalphafarfarther",
                     "with a /23 mask, the sweep finds the hubs of both halves", client.out())
    finally:
        e2e.end_tree(client.process if client else None)
        shutil.rmtree(root, ignore_errors=True)


def no_hub(checks, display):
    root = e2e.new_root("kestrova-client-")
    client = None
    try:
        damaged = os.path.join(root, "config", "kestrova", "hubs-connus.json")
        os.makedirs(os.path.dirname(damaged))
        e2e.write(damaged, '{"hubs": [{"hote": "$(reboot)", "port": 8000')
        client = Client(root, display)
        window = e2e.window_id(client.env, f"^{SEARCHING}$", 30)
        checks.check(bool(window), "with no hub and a damaged remembered file, the window is shown all the same")
        aside = [name for name in os.listdir(os.path.dirname(damaged)) if name.startswith("hubs-connus.json.abime-")]
        checks.check(len(aside) == 1 and not os.path.exists(damaged)
                     and "abîmé : mis de côté sous " + os.path.dirname(damaged) + "/" + aside[0] in client.err(),
                     "the damaged remembered file is set aside and told", (aside, client.err()))
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
    root = e2e.new_root("kestrova-client-")
    hubs = []
    try:
        no_hub(checks, display)
        hubs = start_hubs(root)
        up = all(e2e.wait_until(lambda h=host: e2e.port_open(h, 8000), 60) for host, _ in HUBS + FAR)
        checks.check(up, "the hubs listen on 127.0.0.3, 127.0.0.5, 127.0.1.5 and 127.0.1.6, port 8000")
        named_and_remembered(checks, display, root)
        wide_mask(checks, display)
    finally:
        for hub in hubs:
            e2e.end_tree(hub)
        shutil.rmtree(root, ignore_errors=True)
        display.close()
    checks.check(not any(e2e.port_open(host, 8000) for host, _ in HUBS + FAR), "the hubs are stopped, by id")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
