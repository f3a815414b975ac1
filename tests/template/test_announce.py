#!/usr/bin/env python3
"""Which process of a hub announces it, on what address, under what name."""
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "template" / "hubs"))
import announce  # noqa: E402

RELOADER_CHILD = {"RUN_MAIN": "true"}
# argv, environment, serves, address
ROWS = [
    (["manage.py", "runserver", "192.0.2.1:8000"], RELOADER_CHILD, True, ("192.0.2.1", 8000)),
    (["manage.py", "runserver", "192.0.2.1:8000"], {}, False, ("192.0.2.1", 8000)),
    (["manage.py", "runserver", "--noreload", "0.0.0.0:8000"], {}, True, ("0.0.0.0", 8000)),
    (["manage.py", "runserver", "8001"], RELOADER_CHILD, True, ("127.0.0.1", 8001)),
    (["manage.py", "runserver"], RELOADER_CHILD, True, ("127.0.0.1", 8000)),
    (["manage.py", "check"], RELOADER_CHILD, False, ("127.0.0.1", 8000)),
]

failures = []
for argv, environ, serves, address in ROWS:
    seen = (announce.is_serving_process(argv, environ), announce.serving_address(argv))
    if seen != (serves, address):
        failures.append(f"{argv} {environ}: expected {(serves, address)}, saw {seen}")

# A hub on loopback alone is not announced: no thread is even started.
announce.start(["manage.py", "runserver", "127.0.0.2:8000"], RELOADER_CHILD)
if any(thread.name == "kestrova-announce" for thread in threading.enumerate()):
    failures.append("a loopback hub started its announcement")

name = announce.service_name("Réseau " * 20, "poste-7")
if len(name.encode("utf-8")) > 63 or not name.endswith(" (poste-7)"):
    failures.append(f"instance name {name!r} is not one DNS label naming its host")

# Avahi refuses a TXT string over 255 bytes, and with it the whole announcement.
if len(announce.txt_record("name", "é" * 2048)) > 255:
    failures.append("a long name makes a TXT string Avahi refuses")

for failure in failures:
    print("FAIL: " + failure)
print(f"{len(ROWS) + 3 - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
