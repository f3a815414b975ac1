"""A new network from the window, end to end (real program under Xvfb, real
gnome-terminal, loopback only): the form filled and saved, the setup dialog
adds a second administrator (refusing a mismatched confirmation and a taken
pseudonym), the new button starts the hub, whose administrators log in at
/admin/ from the server's own address while another loopback address gets 404.

usage: e2e_new_network.py PATH/TO/kestrova-linux
"""
import http.client
import os
import re
import shutil
import sqlite3
import sys
import time
import urllib.parse

import e2e_support as e2e
from e2e_linux_launch import TITLE_MAIN, Session

NAME = "Atelier du Port"
PSEUDONYM = "gardienne"
PASSWORD = "Vague-Salee-Quai-42"
SECOND = "veilleur"
SECOND_PASSWORD = "Phare-Rouge-Digue-17"


def log_in(source, pseudonym=PSEUDONYM, password=PASSWORD):
    """The log-in page's status from the loopback address `source`, and
    whether the log-in reaches the admin's index."""
    cookies = []

    def ask(path, form=None):
        connection = http.client.HTTPConnection(e2e.HOST, 8000, timeout=10, source_address=(source, 0))
        connection.request("POST" if form else "GET", path, body=form and urllib.parse.urlencode(form),
                           headers={"Cookie": "; ".join(cookies),
                                    "Content-Type": "application/x-www-form-urlencoded"})
        answer = connection.getresponse()
        cookies.extend(c.split(";")[0] for c in answer.msg.get_all("Set-Cookie") or [])
        return answer.status, answer.getheader("Location", ""), answer.read()

    status, _, page = ask("/admin/login/")
    if status != 200:
        return status, False
    token = re.search(rb'name="csrfmiddlewaretoken" value="([^"]+)"', page).group(1).decode()
    _, went, _ = ask("/admin/login/?next=/admin/", {"csrfmiddlewaretoken": token, "username": pseudonym,
                                                   "password": password, "next": "/admin/"})
    status, _, page = ask("/admin/")
    # The index greets by first name when there is one, and offers to log out.
    return 200, went == "/admin/" and status == 200 and b"/admin/logout/" in page


def add_administrators(checks, session, window, root):
    """The setup dialog, opened with the keyboard from the main screen: two
    refusals that leave the hub's users as they were, then a new administrator."""
    def users():
        with sqlite3.connect(os.path.join(root, "atelier", "db.sqlite3")) as database:
            return database.execute("SELECT username, password, first_name FROM auth_user").fetchall()

    before = users()
    # Two network buttons, the new network label, then Configuration.
    session.press_button(window, 3)
    dialog = e2e.window_id(session.env, "^Configuration Kestrova$")
    checks.check(bool(dialog), "Configuration opens the setup dialog")
    e2e.xdotool(session.env, "windowfocus", "--sync", dialog)
    rows = [("La confirmation ne correspond pas au mot de passe.", SECOND, SECOND_PASSWORD + "x"),
            ("Pseudo refusé : Un utilisateur avec ce nom existe déjà.", PSEUDONYM, SECOND_PASSWORD),
            ("", SECOND, SECOND_PASSWORD)]
    for told, pseudonym, confirmation in rows:
        for text in (pseudonym, "Veilleur de nuit", SECOND_PASSWORD, confirmation):
            e2e.xdotool(session.env, "key", "ctrl+a")
            e2e.xdotool(session.env, "type", "--delay", "10", text + "\t")
        # The registry's last network, then the button, pressed twice.
        e2e.xdotool(session.env, "key", "End", "Tab", "space", "space")
        if told:
            said = e2e.wait_until(lambda: told in session.text("err.log"), 30)
            checks.check(said and users() == before, f"refused, the hub's users unchanged: {told}",
                         session.text("err.log")[-300:])
        else:
            added = e2e.wait_until(lambda: len(users()) == len(before) + 1, 30)
            checks.check(added and users()[:len(before)] == before and users()[-1][0] == SECOND,
                         "the new administrator is added, no other changed", users())
        time.sleep(0.5)
        e2e.xdotool(session.env, "key", *["shift+Tab"] * 5)
    e2e.xdotool(session.env, "key", "Escape")


def main():
    checks = e2e.Checks()
    display = e2e.Display()
    root = e2e.new_root("kestrova-e2e-new-")
    session = None
    try:
        e2e.stage_workdir(root, [("Premier réseau", "premier")])
        session = Session(root, display)
        window = e2e.window_id(session.env, TITLE_MAIN)
        # Focus starts on the network button; the label comes next.
        session.press_button(window, 1)
        time.sleep(1)
        for text in (NAME, "atelier", PSEUDONYM, PASSWORD, PASSWORD):
            e2e.xdotool(session.env, "type", "--delay", "20", text + "\t")
        e2e.xdotool(session.env, "key", "shift+Tab", "Return")
        line = f"Premier réseau|premier|\n{NAME}|atelier|\n"
        listed = e2e.wait_until(lambda: session.text("out.log").endswith(line + "1\n2\n"), 60)
        checks.check(listed and session.text("networks.data") == line,
                     "Enter in the last field saves: the registry's new line, the new button last",
                     (session.text("networks.data"), session.text("out.log")))

        add_administrators(checks, session, window, root)

        # Focus is back on Configuration; the new network's button is two Tabs on.
        session.press_button(window, 2)
        up = e2e.wait_until(lambda: e2e.port_open(e2e.HOST, 8000), 40)
        checks.check(up, "the new button starts the new hub on 127.0.0.2:8000")
        session.remember()
        status, _, body = e2e.http("GET", "http://127.0.0.2:8000/_infos/kl/")
        checks.check(body.decode() == NAME, "the hub says the name typed in the form", (status, body))
        checks.check(log_in(e2e.HOST) == (200, True),
                     "the administrator logs in at /admin/ from the server's own address", log_in(e2e.HOST))
        checks.check(log_in(e2e.HOST, SECOND, SECOND_PASSWORD) == (200, True),
                     "the setup dialog's administrator logs in too", log_in(e2e.HOST, SECOND, SECOND_PASSWORD))
        status, _ = log_in("127.0.0.3")
        checks.check(status == 404, "from another loopback address /admin/ is not found", status)

        seen = [name for folder, _, files in os.walk(root) for name in files
                if any(secret.encode() in open(os.path.join(folder, name), "rb").read()
                       for secret in (PASSWORD, SECOND_PASSWORD))]
        checks.check(not seen, "the password is in no file and no trace of the run", seen)
    finally:
        ended = session.close() if session else True
        display.close()
        shutil.rmtree(root, ignore_errors=True)
    checks.check(ended, "every process of the run is stopped, by id")
    checks.check(not e2e.port_open(e2e.HOST, 8000), "port 8000 is free again")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
