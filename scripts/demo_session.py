#!/usr/bin/env python3
"""A scripted session against the kest-core daemon: starts the daemon with a
private home directory, sends requests over its socket as a client would,
prints each request and response, checks what came back, then shuts the
daemon down. Exits non-zero when a check fails."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time


class Session:
    def __init__(self, client: socket.socket):
        self.client = client
        self.reader = client.makefile("rb")
        self.next_id = 1
        self.failures = []

    def call(self, method, params=None):
        request = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        self.next_id += 1
        if params is not None:
            request["params"] = params
        line = json.dumps(request, separators=(",", ":"), ensure_ascii=False)
        print(f"-> {line}", flush=True)
        self.client.sendall(line.encode() + b"\n")
        answer = self.reader.readline().decode().rstrip("\n")
        print(f"<- {answer}", flush=True)
        response = json.loads(answer)
        if "error" in response:
            self.failures.append(f"{method}: {response['error']['message']}")
            return {}
        return response["result"]

    def check(self, what, ok):
        print(f"   check: {what}: {'yes' if ok else 'NO'}", flush=True)
        if not ok:
            self.failures.append(what)

    def ref(self, text, role):
        found = self.call("find", {"text": text, "role": role, "first": True})
        elements = found.get("elements") or [{}]
        return elements[0].get("ref", "@missing")

    def value_becomes(self, ref, expected, seconds=5):
        """Reads the element's value until it is `expected` (the application
        handles input in its own time)."""
        deadline = time.monotonic() + seconds
        while True:
            value = self.call("read", {"ref": ref, "attr": "AXValue"}).get("value")
            if value == expected or time.monotonic() > deadline:
                return value == expected
            self.call("wait", {"ms": 100})


def run(session: Session) -> None:
    call = session.call
    call("ping")
    call("version")
    call("permissions")
    call("kv_set", {"key": "greeting", "value": {"text": "hello", "count": 2}})
    call("batch", {"commands": [["ping"], ["kv_get", {"key": "greeting"}], ["nosuch"], ["version"]],
                   "stop_on_error": False})
    call("windows")
    call("grab", {"app": "kest-fixture"})
    call("snapshot", {"interactive": True, "compact": True})

    # Click a button by its ref, and wait for the window to say so.
    press = session.ref("Press Me", "button")
    call("click", {"ref": press})
    session.check("the click pressed the button",
                  call("wait", {"text": "Status: pressed 1", "timeout": 5000}).get("ok") is True)
    call("changed")

    # Type into a field, then replace its text with a key combination.
    field = session.ref("Typing Target", "textfield")
    call("click", {"ref": field})
    typed = "Hello, 世界! ✓"
    call("type", {"text": typed})
    session.check("the field reads what was typed", session.value_becomes(field, typed))
    call("key", {"combo": "cmd+a"})
    call("type", {"text": "Replaced"})
    session.check("select-all and typing replaced it", session.value_becomes(field, "Replaced"))

    # Fill another field in one step, tick a box, set a slider.
    name = session.ref("Name Entry", "textfield")
    call("fill", {"ref": name, "text": "Ada Lovelace"})
    session.check("the name field was filled", session.value_becomes(name, "Ada Lovelace"))
    box = session.ref("Check One", "checkbox")
    call("check", {"ref": box})
    session.check("the box is checked", call("is", {"state": "checked", "ref": box}).get("value") is True)
    slider = session.ref("Volume", "slider")
    call("set", {"ref": slider, "value": "80"})
    session.check("the slider moved", session.value_becomes(slider, 80))

    call("changed")

    # The clipboard: a text set through the engine reads back whole.
    clip = "kest demo: Grüße ✓"
    call("clipboard_set", {"text": clip})
    session.check("the clipboard holds the text", call("clipboard_read").get("text") == clip)

    # Menus by path: list the bar, toggle a check item.
    titles = [item.get("title") for item in call("menu_list").get("items", [])]
    session.check("the menu bar lists File and Edit", "File" in titles and "Edit" in titles)
    call("menu_click", {"path": "Edit > Show Ruler"})
    session.check("the menu item acted",
                  call("wait", {"text": "Last Action: Show Ruler", "timeout": 5000}).get("ok") is True)

    # A modal dialog: open it, read it, accept it.
    call("snapshot", {"interactive": True, "compact": True})
    call("click", {"ref": session.ref("Open Dialog", "button")})
    shown = {}
    for _ in range(50):
        shown = call("dialog")
        if shown.get("found"):
            break
        call("wait", {"ms": 100})
    session.check("the dialog is described", shown.get("dialog", {}).get("title") == "Fixture Dialog")
    call("dialog_accept")
    session.check("the dialog was accepted",
                  call("wait", {"text": "Last Action: Dialog OK", "timeout": 5000}).get("ok") is True)

    # Screens and screenshots: the grabbed window, then the whole screen.
    call("displays")
    shot = call("screenshot", {"path": os.path.join(tempfile.gettempdir(), "kest-demo-window.png")})
    session.check("the window screenshot was written",
                  os.path.exists(shot.get("path", "")) and shot.get("width", 0) > 0)
    screen = call("screenshot", {"screen": True, "format": "jpeg",
                                 "path": os.path.join(tempfile.gettempdir(), "kest-demo-screen.jpg")})
    session.check("the screen screenshot was written", screen.get("width", 0) >= shot.get("width", 0) > 0)

    call("ungrab")
    call("shutdown")


def main() -> int:
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/kest-core"
    with tempfile.TemporaryDirectory(prefix="kest-demo-") as home:
        env = dict(os.environ, HOME=home)
        daemon = subprocess.Popen([binary, "--daemon"], env=env)
        try:
            path = os.path.join(home, ".kest", "daemon.sock")
            session = Session(connect(path, daemon))
            run(session)
            status = daemon.wait(timeout=10)
            print(f"daemon exited with status {status}; socket left behind: {os.path.exists(path)}")
            if session.failures:
                print("demo: failed: " + "; ".join(session.failures), flush=True)
                return 1
            print("demo: every check passed", flush=True)
            return status
        finally:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()


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
