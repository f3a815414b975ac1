"""Pictures of the real program for the README, taken on a private X server:
the main screen, the running-server panel (real gnome-terminal inside
dbus-run-session, real Django hub) and the client window's list of hubs.

usage: pictures.py KESTROVA-LINUX KESTROVA-CLIENT DEMO-FOLDER SCRATCH-FOLDER OUTPUT-FOLDER

DEMO-FOLDER is a working directory staged by scripts/stage-demo.sh; the
stand-ins and the programs' output go to SCRATCH-FOLDER, the pictures to
OUTPUT-FOLDER. Only
loopback is reached: the ifconfig stand-in makes this computer's address
127.0.0.2, so the panel's server listens there and the client window scans
127.0.0.0/24, where the demo's two hubs answer on 127.0.0.3 and 127.0.0.4.
Every process is ended by the id of one that this run started.
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "e2e"))
import e2e_support as e2e  # noqa: E402

PROGRAM, CLIENT_PROGRAM, DEMO, SCRATCH, OUTPUT = (os.path.abspath(a) for a in sys.argv[1:6])
CLIENT_HUBS = [("127.0.0.3", "lumieres"), ("127.0.0.4", "atelier")]


class Failure(Exception):
    pass


def require(value, what):
    if not value:
        raise Failure(what)
    return value


def picture(env, window, name):
    """The window alone, raised above the terminal, as a small PNG."""
    e2e.xdotool(env, "windowraise", window)
    time.sleep(1.5)  # a few frames of the animations
    raw = os.path.join(SCRATCH, name + ".png")
    subprocess.run(["import", "-window", window, raw], env=env, check=True, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    final = os.path.join(OUTPUT, name + ".png")
    subprocess.run(["convert", raw, "-strip", "-colors", "256",
                    "-define", "png:exclude-chunks=date,time", "PNG8:" + final], check=True, timeout=60)
    os.remove(raw)
    print(f"{final}: {os.path.getsize(final) // 1024} KiB")


def start(command, env, log):
    out = open(os.path.join(SCRATCH, log), "wb")
    try:
        return subprocess.Popen(command, cwd=DEMO, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)
    finally:
        out.close()


def administrator_window(env):
    session = start(["dbus-run-session", "--", PROGRAM], env, "kestrova-linux.log")
    try:
        window = require(e2e.window_id(env, "^Accueil Kestrova$"), "the administrator window is not shown")
        time.sleep(1)
        picture(env, window, "main-screen")

        # Keyboard focus starts on the first network button.
        e2e.xdotool(env, "windowfocus", "--sync", window)
        e2e.xdotool(env, "key", "space")
        require(e2e.wait_until(lambda: e2e.port_open(e2e.HOST, 8000), 60),
                "the first hub does not listen on 127.0.0.2:8000")
        panel = require(e2e.window_id(env, "^Kestrova : Les Lumieres de Tavoule$", 30),
                        "the running-server panel is not shown")
        picture(env, panel, "running-server-panel")
    finally:
        e2e.end_tree(session)
    require(e2e.wait_until(lambda: not e2e.port_open(e2e.HOST, 8000), 15),
            "the panel's hub still listens after its session was ended")


def client_window(env):
    hubs = []
    client = None
    try:
        for host, folder in CLIENT_HUBS:
            hub = subprocess.Popen(["/usr/bin/python3", "manage.py", "runserver", "--noreload", host + ":8000"],
                                   cwd=os.path.join(DEMO, folder), env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            hubs.append(hub)
            require(e2e.wait_until(lambda: e2e.port_open(host, 8000), 60), f"no hub on {host}:8000")
        # The window appears at once; its search runs behind it.
        # Loopback hubs are not announced: the picture shows the sweep's list.
        client = start([CLIENT_PROGRAM], dict(env, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/kestrova-no-bus"),
                       "client-window.log")
        window = require(e2e.window_id(env, "^Recherche de Reseaux$", 120), "the client window is not shown")

        def traced():
            with open(os.path.join(SCRATCH, "client-window.log"), encoding="utf-8", errors="replace") as log:
                return log.read()

        # Its sweep traces each name it is given, just before it lists them.
        require(e2e.wait_until(lambda: all(folder in traced() for _, folder in CLIENT_HUBS), 60),
                f"the client window did not find both hubs: {traced()[-300:]!r}")
        time.sleep(1)
        picture(env, window, "client-window")
    finally:
        e2e.end_tree(client)
        for hub in hubs:
            e2e.end_tree(hub)


def main():
    os.makedirs(OUTPUT, exist_ok=True)
    stand_ins = os.path.join(SCRATCH, "stand-ins")
    os.makedirs(stand_ins, exist_ok=True)
    e2e.write(os.path.join(stand_ins, "ifconfig"), e2e.IFCONFIG.format(host=e2e.HOST), True)
    e2e.write(os.path.join(stand_ins, "xdg-open"),
              e2e.BROWSER.format(log=os.path.join(SCRATCH, "browser.log")), True)
    display = e2e.Display()
    try:
        env = e2e.system_env(stand_ins)
        env["DISPLAY"] = display.name
        administrator_window(env)
        client_window(env)
    except Failure as failure:
        print(f"make-pictures: {failure}", file=sys.stderr)
        return 1
    finally:
        display.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
