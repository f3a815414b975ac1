"""The installed launchers in a fresh home, under Xvfb: the keeper's first
start makes the demo network, whose button starts a real hub (real
gnome-terminal inside dbus-run-session) that the browser stand-in is asked to
open; a second start makes no second demo; the members' launcher starts the
client window in the same folder. Loopback only: the ifconfig stand-in makes
this computer's address 127.0.0.2, and the client window scans 127.0.0.0/24.
Every process is ended by the id of one that this run started.

usage: installed_launchers.py SCRATCH-FOLDER
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import e2e_support as e2e  # noqa: E402

SCRATCH = os.path.abspath(sys.argv[1])
HOME = os.path.join(SCRATCH, "fresh-home")
WORK = os.path.join(HOME, ".local", "share", "kestrova")
DEMO_LINE = "Réseau de démonstration|demo|\n"


class Start:
    """One start of an installed launcher in its own D-Bus session."""

    def __init__(self, name, launcher, env):
        self.name = name
        self.env = env
        self.out_path = os.path.join(SCRATCH, name + ".out")
        self.err_path = os.path.join(SCRATCH, name + ".err")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(["dbus-run-session", "--", launcher], cwd=SCRATCH, env=env,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.remembered = set()

    def launcher_lines(self):
        """What the launcher itself said on the error stream (the bus and Qt
        may add lines of their own)."""
        return [line for line in self.text("err").splitlines() if line.startswith("kestrova")]

    def text(self, which):
        with open(self.out_path if which == "out" else self.err_path, "rb") as handle:
            return handle.read().decode("utf-8", "replace")

    def program(self, path):
        """The id of the running program `path` below this start, if any."""
        for pid in e2e.descendants(self.process.pid):
            try:
                if os.readlink(f"/proc/{pid}/exe") == path:
                    return pid
            except OSError:
                pass
        return None

    def close(self):
        self.remembered |= e2e.remember_tree(self.process.pid)
        e2e.end_tree(self.process)
        return e2e.end_remembered(self.remembered)


def main():
    checks = e2e.Checks()
    stand_ins = os.path.join(SCRATCH, "launcher-stand-ins")
    os.makedirs(stand_ins, exist_ok=True)
    e2e.write(os.path.join(stand_ins, "ifconfig"), e2e.IFCONFIG.format(host=e2e.HOST), True)
    browser_log = os.path.join(SCRATCH, "launchers-browser.log")
    e2e.write(os.path.join(stand_ins, "xdg-open"), e2e.BROWSER.format(log=browser_log), True)
    os.makedirs(HOME)
    display = e2e.Display()
    env = e2e.system_env(stand_ins)
    runtime = os.path.join(SCRATCH, "launchers-runtime")
    os.makedirs(runtime, mode=0o700)
    env.update(HOME=HOME, DISPLAY=display.name, XDG_RUNTIME_DIR=runtime)
    env.pop("XDG_DATA_HOME", None)
    folder_line = f"kestrova : dossier de travail : {WORK}"
    starts = []

    def browser_calls():
        if not os.path.exists(browser_log):
            return []
        with open(browser_log, encoding="utf-8") as handle:
            return handle.read().splitlines()

    try:
        first = Start("fresh-first", "/usr/bin/kestrova", env)
        starts.append(first)
        window = e2e.window_id(env, "^Accueil Kestrova$", 60)
        checks.check(bool(window), "first start: the main screen is shown")
        traced = e2e.wait_until(lambda: first.text("out").startswith(DEMO_LINE + "1\n"), 10)
        checks.check(traced, "first start: the main screen lists the demo network", first.text("out"))
        checks.check(first.launcher_lines() == [folder_line],
                     "first start: the one line on the error stream names the working folder",
                     first.text("err"))
        checks.check(window in e2e.xdotool(env, "search", "--class", "^kestrova-linux$").split("\n"),
                     "first start: the window's class is the menu entry's StartupWMClass")
        e2e.xdotool(env, "windowfocus", "--sync", window)
        e2e.xdotool(env, "key", "space")
        up = e2e.wait_until(lambda: e2e.port_open(e2e.HOST, 8000), 60)
        checks.check(up, "first start: the demo network's server listens on 127.0.0.2:8000")
        first.remembered |= e2e.remember_tree(first.process.pid)
        status, _, body = e2e.http("GET", "http://127.0.0.2:8000/_infos/kl/")
        checks.check(status == 200 and body == "Réseau de démonstration".encode(),
                     "first start: the demo hub answers its name",
                     (status, body))
        calls = e2e.wait_until(browser_calls, 15)
        checks.check(calls == ["http://127.0.0.2:8000"],
                     "first start: the browser is asked for http://127.0.0.2:8000", calls)
        checks.check(first.close(), "first start: every process of the run is stopped, by id")
        checks.check(e2e.wait_until(lambda: not e2e.port_open(e2e.HOST, 8000), 15),
                     "first start: port 8000 is free again")

        second = Start("fresh-second", "/usr/bin/kestrova", env)
        starts.append(second)
        window = e2e.window_id(env, "^Accueil Kestrova$", 60)
        traced = e2e.wait_until(lambda: second.text("out").startswith(DEMO_LINE + "1\n"), 10)
        with open(os.path.join(WORK, "networks.data"), encoding="utf-8") as registry:
            lines = registry.read()
        checks.check(traced and lines == DEMO_LINE and second.launcher_lines() == [folder_line],
                     "second start: the same single demo network, no second one",
                     (second.text("out"), lines, second.text("err")))
        checks.check(second.close(), "second start: every process is stopped, by id")

        member = Start("fresh-member", "/usr/bin/kestrova-membre", env)
        starts.append(member)
        window = e2e.window_id(env, "^Recherche de Reseaux$", 120)
        checks.check(bool(window), "members' launcher: the client window is shown")
        pid = member.program("/usr/bin/kestrova-client")
        cwd = os.readlink(f"/proc/{pid}/cwd") if pid else None
        checks.check(cwd == WORK, "members' launcher: the installed kestrova-client runs in the working folder",
                     cwd)
        checks.check(window in e2e.xdotool(env, "search", "--class", "^kestrova-client$").split("\n"),
                     "members' launcher: the window's class is the menu entry's StartupWMClass")
        checks.check(member.launcher_lines() == [folder_line.replace("kestrova :", "kestrova-membre :")],
                     "members' launcher: the one line on the error stream names the same folder",
                     member.text("err"))
        checks.check(member.close(), "members' launcher: every process is stopped, by id")
    finally:
        for start in starts:
            start.close()
        display.close()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
