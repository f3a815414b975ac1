"""The keeper's launcher and its first start's demo, from the build tree:
packaging/kestrova.in written as the installation writes it, with the real
kestrova-nouveau-reseau and Django, and a program stand-in that only records
where it was started. Two launchers started together, five times in a fresh
home: one complete demo and one registry line each time. Then the states that
an interrupted start leaves, each completed by the next start without
removing what it did not make.

usage: launcher_demo.py PATH/TO/kestrova-nouveau-reseau SOURCE-DIR
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

MAKER = os.path.abspath(sys.argv[1])
SOURCE = os.path.abspath(sys.argv[2])
DEMO_LINE = "Réseau de démonstration|demo|\n".encode()
failed = 0


def check(ok, what, seen=""):
    global failed
    print(("PASS  " if ok else "FAIL  ") + what + ("" if ok else f"\n      saw: {seen!r}"))
    failed += 0 if ok else 1


def stage(scratch):
    data = os.path.join(scratch, "data")
    shutil.copytree(os.path.join(SOURCE, "template"), os.path.join(data, "template"))
    shutil.copytree(os.path.join(SOURCE, "img"), os.path.join(data, "img"))
    shutil.copy(os.path.join(SOURCE, "scripts", "style.qss"), data)
    program = os.path.join(scratch, "programme")
    with open(program, "w") as handle:
        handle.write('#!/bin/sh\npwd >> "$KESTROVA_TEST_STARTS"\n')
    os.chmod(program, 0o755)
    with open(os.path.join(SOURCE, "packaging", "kestrova.in")) as handle:
        text = handle.read()
    for key, value in (("LAUNCHER", "kestrova"), ("PROGRAM", program), ("DATA", data), ("MAKER", MAKER)):
        text = text.replace(f"@KESTROVA_{key}@", value)
    launcher = os.path.join(scratch, "kestrova")
    with open(launcher, "w") as handle:
        handle.write(text)
    os.chmod(launcher, 0o755)
    return launcher


def starts(launcher, home, count):
    env = dict(os.environ, HOME=home, PATH="/usr/bin:/bin:" + os.environ.get("PATH", ""),
               KESTROVA_TEST_STARTS=os.path.join(home, "starts.log"))
    env.pop("XDG_DATA_HOME", None)
    runs = [subprocess.Popen([launcher], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            for _ in range(count)]
    return [(run.wait(timeout=120), run.stderr.read().decode()) for run in runs]


def demo_complete(work):
    package = os.path.join(work, "demo", "demo")
    same = all(filecmp.cmp(os.path.join(work, name), os.path.join(package, name), shallow=False)
               for name in ("settings.py", "urls.py"))
    with open(os.path.join(package, "nom_du_reseau.txt"), "rb") as handle:
        named = handle.read() == "Réseau de démonstration".encode()
    return same and named and os.path.isfile(os.path.join(work, "demo", "manage.py")) \
        and os.path.isdir(os.path.join(package, "hubs"))


def registry(work):
    with open(os.path.join(work, "networks.data"), "rb") as handle:
        return handle.read()


def main():
    scratch = tempfile.mkdtemp(prefix="kestrova-launcher-")
    try:
        launcher = stage(scratch)
        for trial in range(1, 6):
            home = os.path.join(scratch, f"home-{trial}")
            os.makedirs(home)
            work = os.path.join(home, ".local", "share", "kestrova")
            results = starts(launcher, home, 2)
            check(all(code == 0 for code, _ in results), f"trial {trial}: both launchers start their program",
                  results)
            check(registry(work) == DEMO_LINE and demo_complete(work),
                  f"trial {trial}: one complete demo and one registry line", registry(work))
            left = [name for name in os.listdir(work) if name.startswith(".kestrova-nouveau-")]
            check(not left, f"trial {trial}: no temporary folder is left", left)

        # What an interrupted first start may leave: its mark, an empty
        # registry, and the demo at some step of its making.
        states = {
            "killed while building": ("tmp", DEMO_LINE),
            "killed before its registry line": ("renamed", DEMO_LINE),
            "a demo folder of the keeper's own": ("foreign", b""),
        }
        for what, (state, expected) in states.items():
            home = os.path.join(scratch, "home-" + state)
            work = os.path.join(home, ".local", "share", "kestrova")
            os.makedirs(work)
            open(os.path.join(work, "networks.data"), "wb").close()
            open(os.path.join(work, ".demo-a-faire"), "wb").close()
            if state == "tmp":
                os.makedirs(os.path.join(work, ".kestrova-nouveau-0badcafe", "demo", "demo"))
            elif state == "renamed":
                # The rename happened; the registry line did not.
                for name in ("settings.py", "urls.py", "hubs", "ressources", "templates", "static"):
                    source = os.path.join(SOURCE, "template", name)
                    (shutil.copytree if os.path.isdir(source) else shutil.copy)(source, os.path.join(work, name))
                subprocess.run([MAKER, "--demo"], cwd=work, env=dict(os.environ, PATH="/usr/bin:/bin"), check=True)
                open(os.path.join(work, "networks.data"), "wb").close()
            else:
                os.makedirs(os.path.join(work, "demo"))
                open(os.path.join(work, "demo", "notes.txt"), "w").write("à moi")
            before = sorted(os.listdir(work))
            (code, said), = starts(launcher, home, 1)
            check(code == 0 and registry(work) == expected, f"{what}: the next start completes what it can",
                  (code, said, registry(work)))
            if state == "foreign":
                check(os.listdir(os.path.join(work, "demo")) == ["notes.txt"] and "demo" in said,
                      f"{what}: the folder is left as it was, and the launcher says why", said)
            else:
                check(demo_complete(work), f"{what}: the demo is complete")
            kept = [name for name in before if name.startswith(".kestrova-nouveau-")]
            check(all(os.path.exists(os.path.join(work, name)) for name in kept),
                  f"{what}: what it did not make stays", kept)
            # The next start has nothing left to do.
            starts(launcher, home, 1)
            check(registry(work) == expected, f"{what}: a later start adds nothing", registry(work))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("failed:", failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
