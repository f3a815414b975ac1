"""Pictures of the real program for the README, taken on a private X server:
the main screen, the running-server panel (real gnome-terminal inside
dbus-run-session, real Django hub), the new network form with a refusal, the
setup dialog, a failed start with the server's own lines, the client window's
live list of hubs and its connected screen.

usage: pictures.py KESTROVA-LINUX KESTROVA-CLIENT DEMO-FOLDER SCRATCH-FOLDER OUTPUT-FOLDER [SCREEN ...]

SCREEN names the screens to draw again (main_screen_and_panel,
new_network_form, setup_dialog, failure, client_window); all by default.

DEMO-FOLDER is a working directory staged by scripts/stage-demo.sh; the
stand-ins and the programs' output go to SCRATCH-FOLDER, the pictures to
OUTPUT-FOLDER. Only
loopback is reached: the ifconfig stand-in makes this computer's address
127.0.0.2, so the panel's server listens there and the client window scans
127.0.0.0/24, where the demo's two hubs answer on 127.0.0.3 and 127.0.0.4.
Every process is ended by the id of one that this run started.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "e2e"))
import e2e_support as e2e  # noqa: E402

PROGRAM, CLIENT_PROGRAM, DEMO, SCRATCH, OUTPUT = (os.path.abspath(a) for a in sys.argv[1:6])
# Address, folder and the name the demo hub answers with (its registry name).
CLIENT_HUBS = [("127.0.0.3", "lumieres", "Les Lumieres de Tavoule"), ("127.0.0.4", "atelier", "Atelier du Port")]


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


def administrator_session(env, cwd, log):
    """The program in its own D-Bus session in `cwd`, and its main window."""
    out = open(os.path.join(SCRATCH, log), "wb")
    try:
        session = subprocess.Popen(["dbus-run-session", "--", PROGRAM], cwd=cwd, env=env,
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    finally:
        out.close()
    window = e2e.window_id(env, "^Accueil Kestrova$")
    if not window:
        e2e.end_tree(session)
        raise Failure("the administrator window is not shown")
    time.sleep(1)
    # Keyboard focus starts on the first network button.
    e2e.xdotool(env, "windowfocus", "--sync", window)
    return session, window


def keys(env, *names):
    e2e.xdotool(env, "key", "--delay", "60", *names)


def type_rows(env, rows):
    for text in rows:
        e2e.xdotool(env, "type", "--delay", "10", text + "\t")


def main_screen_and_panel(env):
    session, window = administrator_session(env, DEMO, "kestrova-linux.log")
    try:
        picture(env, window, "main-screen")
        keys(env, "space")
        require(e2e.wait_until(lambda: e2e.port_open(e2e.HOST, 8000), 60),
                "the first hub does not listen on 127.0.0.2:8000")
        panel = require(e2e.window_id(env, "^Kestrova : ", 30), "the running-server panel is not shown")
        picture(env, panel, "running-server-panel")
    finally:
        e2e.end_tree(session)
    require(e2e.wait_until(lambda: not e2e.port_open(e2e.HOST, 8000), 15),
            "the panel's hub still listens after its session was ended")


def new_network_form(env):
    """The form refusing a name that the registry already holds."""
    session, window = administrator_session(env, DEMO, "new-network-form.log")
    try:
        # The demo's two networks, then the new network label.
        keys(env, "Tab", "Tab", "space")
        time.sleep(1)
        type_rows(env, ["Atelier du Port", "atelier2", "gardienne", "Vague-Salee-Quai-42"])
        e2e.xdotool(env, "type", "--delay", "10", "Vague-Salee-Quai-42")
        keys(env, "Return")
        time.sleep(2)
        picture(env, window, "new-network-form")
    finally:
        e2e.end_tree(session)


def setup_dialog(env):
    """The setup dialog over the main screen, refusing a mismatched confirmation."""
    session, _ = administrator_session(env, DEMO, "setup-dialog.log")
    try:
        # Two networks, the new network label, then Configuration.
        keys(env, "Tab", "Tab", "Tab", "space")
        dialog = require(e2e.window_id(env, "^Configuration Kestrova$"), "the setup dialog is not shown")
        e2e.xdotool(env, "windowfocus", "--sync", dialog)
        type_rows(env, ["veilleur", "Veilleur de nuit", "Phare-Rouge-Digue-17", "Phare-Rouge-Digue-18"])
        keys(env, "Tab", "space")
        time.sleep(2)
        picture(env, dialog, "setup-dialog")
    finally:
        e2e.end_tree(session)


def failure(env):
    """A hub whose settings import a module that is not there: the failure and
    the server's own last lines."""
    work = os.path.join(SCRATCH, "failure")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for entry in ("img", "style.qss", "fuseum.gif"):
        source = os.path.join(DEMO, entry)
        (shutil.copytree if os.path.isdir(source) else shutil.copy)(source, os.path.join(work, entry))
    shutil.copytree(os.path.join(DEMO, "lumieres"), os.path.join(work, "lumieres"),
                    ignore=shutil.ignore_patterns("db.sqlite3", ".secret_key", "__pycache__"))
    with open(os.path.join(work, "lumieres", "lumieres", "settings.py"), "a", encoding="utf-8") as settings:
        settings.write("\nimport module_introuvable\n")
    e2e.write(os.path.join(work, "networks.data"), "Les Lumieres de Tavoule|lumieres|\n")
    session, window = administrator_session(env, work, "failure.log")
    try:
        keys(env, "space")
        require(e2e.wait_until(lambda: "module_introuvable" in open(os.path.join(SCRATCH, "failure.log"),
                                                                    errors="replace").read(), 30),
                "the failed start does not tell the server's reason")
        time.sleep(1)
        picture(env, window, "failure")
    finally:
        e2e.end_tree(session)


def client_window(env):
    hubs = []
    client = None
    try:
        for host, folder, _ in CLIENT_HUBS:
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
        require(e2e.wait_until(lambda: all(name in traced() for _, _, name in CLIENT_HUBS), 60),
                f"the client window did not find both hubs: {traced()[-300:]!r}")
        time.sleep(1)
        picture(env, window, "client-window")
        # The first hub chosen with the keyboard: the connected screen.
        e2e.xdotool(env, "windowfocus", "--sync", window)
        keys(env, "Tab", "space")
        connected = require(e2e.window_id(env, "^Interface Client$", 30), "the connected screen is not shown")
        picture(env, connected, "client-connected")
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
    failed = []
    try:
        env = e2e.system_env(stand_ins)
        env["DISPLAY"] = display.name
        # Each screen in a session of its own: one that fails does not keep
        # the others from being drawn.
        for draw in (main_screen_and_panel, new_network_form, setup_dialog, failure, client_window):
            if sys.argv[6:] and draw.__name__ not in sys.argv[6:]:
                continue
            try:
                draw(env)
            except (Failure, subprocess.SubprocessError, OSError) as reason:
                print(f"make-pictures: {draw.__name__}: {reason}", file=sys.stderr)
                failed.append(draw.__name__)
    finally:
        display.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
