"""The Linux build end to end: the real program under Xvfb, real
gnome-terminal inside dbus-run-session, two real hubs made from template/,
the browser observed through an xdg-open stand-in.

usage: e2e_linux_launch.py PATH/TO/kestrova-linux
"""
import os
import shutil
import subprocess
import sys
import time

import e2e_support as e2e

BINARY = os.path.abspath(sys.argv[1])
TITLE_MAIN = "Accueil Kestrova"
SECOND = "Atelier <Nord> & Fils"  # shown as written, not read as markup
TITLE_PANEL = "Kestrova : " + SECOND


class Session:
    """The program in its own D-Bus session on a private display."""

    def __init__(self, root, display):
        self.root = root
        stand_ins = os.path.join(root, "stand-ins")
        os.makedirs(stand_ins, exist_ok=True)
        e2e.write(os.path.join(stand_ins, "ifconfig"), e2e.IFCONFIG.format(host=e2e.HOST), True)
        self.browser_log = os.path.join(root, "browser.log")
        e2e.write(os.path.join(stand_ins, "xdg-open"), e2e.BROWSER.format(log=self.browser_log), True)
        self.env = e2e.system_env(stand_ins)
        self.env["DISPLAY"] = display.name
        self.out = open(os.path.join(root, "out.log"), "wb")
        self.err = open(os.path.join(root, "err.log"), "wb")
        self.process = subprocess.Popen(["dbus-run-session", "--", BINARY], cwd=root, env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)
        # The bus, the terminal and the hub server outlive the program for a
        # while when it ends: they are remembered while it runs.
        self.remembered = set()

    def remember(self):
        self.remembered |= e2e.remember_tree(self.process.pid)

    def text(self, name):
        with open(os.path.join(self.root, name), "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def browser_calls(self):
        if not os.path.exists(self.browser_log):
            return []
        return self.text("browser.log").splitlines()

    def press_button(self, window, position):
        """Keyboard focus starts on the first network button; Tab walks on."""
        e2e.xdotool(self.env, "windowfocus", "--sync", window)
        for _ in range(position):
            e2e.xdotool(self.env, "key", "Tab")
        e2e.xdotool(self.env, "key", "space")

    def close(self):
        """True when every process of the session has ended."""
        self.remember()
        e2e.end_tree(self.process)
        ended = e2e.end_remembered(self.remembered)
        self.out.close()
        self.err.close()
        return ended


def launch_second_hub(checks, display, pictures):
    root = e2e.new_root("kestrova-e2e-")
    session = None
    try:
        e2e.stage_workdir(root, [("Premier réseau", "premier"), (SECOND, "second")])
        session = Session(root, display)
        window = e2e.window_id(session.env, TITLE_MAIN)
        checks.check(bool(window), "the administrator window is shown")
        time.sleep(1)
        if pictures:
            e2e.screenshot(session.env, os.path.join(pictures, "main-screen.png"))
        session.press_button(window, 1)

        up = e2e.wait_until(lambda: e2e.port_open(e2e.HOST, 8000), 40)
        checks.check(up, "the second hub listens on 127.0.0.2:8000")
        session.remember()
        status, _, _ = e2e.http("HEAD", "http://127.0.0.2:8000/")
        checks.check(status == 200, "HEAD / answers 200 OK", status)
        status, kind, body = e2e.http("GET", "http://127.0.0.2:8000/_infos/kl/")
        checks.check(status == 200 and body == b"second" and kind.startswith("text/plain"),
                     "/_infos/kl/ gives the hub's name as plain text", (status, kind, body))

        panel = e2e.window_id(session.env, TITLE_PANEL, timeout=30)
        checks.check(bool(panel), "the window shows the running-server panel's title")
        calls = e2e.wait_until(session.browser_calls, 10)
        # That it happens before the panel is built is checked in-process,
        # where the order can be seen.
        checks.check(calls == ["http://127.0.0.2:8000"],
                     "the browser is asked for http://127.0.0.2:8000", calls)
        time.sleep(1)
        if pictures:
            e2e.screenshot(session.env, os.path.join(pictures, "running-server-panel.png"))

        out = session.text("out.log")
        checks.check(out.startswith(f"Premier réseau|premier|\n{SECOND}|second|\n1\n2\n"),
                     "the registry lines and the button counters are traced", out)

        # Tab reaches "Acceder a mon Espace", then "Arreter le Serveur".
        session.remember()
        session.press_button(panel, 1)
        calls = e2e.wait_until(lambda: len(session.browser_calls()) == 2 and session.browser_calls(), 10)
        checks.check(calls == ["http://127.0.0.2:8000"] * 2, "Acceder a mon Espace opens the hub again", calls)
        session.press_button(panel, 1)
        checks.check(bool(e2e.window_id(session.env, f"^{TITLE_MAIN}$", 30)), "after the stop the main title is back")

        # Escape closes the dialog, the last window: the program ends with 0.
        e2e.xdotool(session.env, "windowfocus", "--sync", panel)
        e2e.xdotool(session.env, "key", "Escape")
        try:
            # dbus-run-session returns the program's status.
            code = session.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            code = None
        checks.check(code == 0, "closing the window ends the program with status 0", code)
    finally:
        ended = session.close() if session else True
        shutil.rmtree(root, ignore_errors=True)
    checks.check(ended, "every process of the run is stopped, by id")
    checks.check(not e2e.port_open(e2e.HOST, 8000), "port 8000 is free again")


def broken_hub_tells_its_reason(checks, display):
    root = e2e.new_root("kestrova-e2e-")
    session = None
    try:
        e2e.stage_workdir(root, [("Casse", "casse")])
        # A hub whose settings import a module that is not there.
        with open(os.path.join(root, "casse", "casse", "settings.py"), "a") as settings:
            settings.write("\nimport module_introuvable_kestrova\n")
        session = Session(root, display)
        window = e2e.window_id(session.env, TITLE_MAIN)
        session.press_button(window, 0)
        reason = "No module named 'module_introuvable_kestrova'"
        said = e2e.wait_until(lambda: "ne répond pas" in session.text("err.log")
                              and reason in session.text("err.log"), 40)
        checks.check(said, "a hub that fails to start is reported on the error stream, with the server's reason",
                     session.text("err.log")[-400:])
        checks.check(e2e.xdotool(session.env, "getwindowname", window) == TITLE_MAIN,
                     "the window is back on the main screen")
        # Focus is back on the network; the server's lines come next and can be copied.
        e2e.xdotool(session.env, "windowfocus", "--sync", window)
        e2e.xdotool(session.env, "key", "Tab", "ctrl+a", "ctrl+c")
        copied = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=session.env,
                                capture_output=True, timeout=10).stdout.decode("utf-8", "replace")
        checks.check(copied.rstrip().endswith(reason), "the window shows the server's last lines, selectable",
                     copied[-300:])
        checks.check(not session.browser_calls(), "the browser is not asked", session.browser_calls())
        e2e.xdotool(session.env, "key", "shift+Tab")

        # A program that is no hub holds the port: the message names it.
        other = subprocess.Popen(["python3", "-m", "http.server", "8000", "--bind", e2e.HOST], cwd=root,
                                 env=session.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        e2e.wait_until(lambda: e2e.port_open(e2e.HOST, 8000), 20)
        session.press_button(window, 0)
        said = f"par le programme « {os.path.basename(os.readlink(f'/proc/{other.pid}/exe'))} » (processus {other.pid})"
        checks.check(e2e.wait_until(lambda: said in session.text("err.log"), 20), "the holder of the port is named",
                     session.text("err.log")[-300:])
        e2e.end_tree(other)
    finally:
        ended = session.close() if session else True
        shutil.rmtree(root, ignore_errors=True)
    checks.check(ended, "every process of the failed start is stopped, by id")


def main():
    checks = e2e.Checks()
    pictures = os.environ.get("KESTROVA_PICTURES")
    display = e2e.Display()
    try:
        launch_second_hub(checks, display, pictures)
        broken_hub_tells_its_reason(checks, display)
    finally:
        display.close()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
