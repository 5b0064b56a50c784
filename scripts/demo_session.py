#!/usr/bin/env python3
"""A scripted session against the kest-core daemon: starts the daemon with a
private home directory, sends requests over its socket as a client would,
prints each request and response, then shuts the daemon down."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

OUTSIDE_PRESS = "(press outside the engine)"

STEPS = [
    ("ping", None),
    ("version", None),
    ("permissions", None),
    ("status", None),
    ("kv_set", {"key": "greeting", "value": {"text": "hello", "count": 2}}),
    ("kv_get", {"key": "greeting"}),
    ("batch", {"commands": [["ping"], ["kv_get", {"key": "greeting"}], ["nosuch"], ["version"]],
               "stop_on_error": False}),
    ("windows", None),
    ("grab", {"app": "kest-fixture"}),
    ("snapshot", {"interactive": True, "compact": True}),
    ("find", {"text": "Press Me", "role": "button", "first": True}),
    ("read", {"ref": "@s1", "attr": "AXValue"}),
    ("wait", {"text": "Status: idle", "timeout": 5000}),
    ("snapshot", {"compact": True}),
    # Not an engine request: the demo presses the button itself, through the
    # accessibility bus, so that the window changes under the engine.
    (OUTSIDE_PRESS, "Press Me"),
    ("wait", {"text": "Status: pressed 1", "timeout": 5000}),
    ("changed", None),
    ("diff", None),
    ("shutdown", None),
]


def main() -> int:
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/kest-core"
    with tempfile.TemporaryDirectory(prefix="kest-demo-") as home:
        env = dict(os.environ, HOME=home)
        daemon = subprocess.Popen([binary, "--daemon"], env=env)
        try:
            path = os.path.join(home, ".kest", "daemon.sock")
            client = connect(path, daemon)
            reader = client.makefile("rb")
            for number, (method, params) in enumerate(STEPS, start=1):
                if method == OUTSIDE_PRESS:
                    press_outside(params)
                    continue
                request = {"jsonrpc": "2.0", "id": number, "method": method}
                if params is not None:
                    request["params"] = params
                line = json.dumps(request, separators=(",", ":"))
                print(f"-> {line}", flush=True)
                client.sendall(line.encode() + b"\n")
                answer = reader.readline().decode().rstrip("\n")
                print(f"<- {answer}", flush=True)
            status = daemon.wait(timeout=10)
            print(f"daemon exited with status {status}; socket left behind: {os.path.exists(path)}")
            return status
        finally:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()


def press_outside(name: str) -> None:
    """Presses the fixture's button named `name` with pyatspi (the Debian
    package, so the system interpreter), as a user would click it."""
    script = (
        "import sys, pyatspi\n"
        "def find(node, name):\n"
        "    if node is None: return None\n"
        "    if node.name == name and node.getRoleName() == 'push button': return node\n"
        "    for i in range(node.childCount):\n"
        "        hit = find(node.getChildAtIndex(i), name)\n"
        "        if hit is not None: return hit\n"
        "    return None\n"
        "desktop = pyatspi.Registry.getDesktop(0)\n"
        "for i in range(desktop.childCount):\n"
        "    button = find(desktop.getChildAtIndex(i), sys.argv[1])\n"
        "    if button is not None:\n"
        "        button.queryAction().doAction(0)\n"
        "        break\n"
    )
    print(f"-- outside the engine: pressing {name!r} through the accessibility bus", flush=True)
    subprocess.run(["/usr/bin/python3", "-c", script, name], check=False, timeout=30)


def connect(path: str, daemon: subprocess.Popen) -> socket.socket:
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if daemon.poll() is not None:
            raise SystemExit(f"daemon exited with status {daemon.returncode}")
        try:
            client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            client.connect(path)
            return client
        except OSError:
            client.close()
            time.sleep(0.02)
    raise SystemExit("daemon did not start listening")


if __name__ == "__main__":
    sys.exit(main())
