"""A headless Chromium driven over the DevTools protocol through a pipe
(--remote-debugging-pipe: commands on the child's fd 3, replies on its fd 4,
each a JSON message ended by a NUL byte), with nothing but the standard
library: open a page, collect console errors, exceptions and network
requests, evaluate JavaScript, take a screenshot."""
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


def chromium_path():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    def __init__(self, width=1200, height=900, timeout=60.0):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="vornix_chromium_")
        to_child_r, self._to_child = os.pipe()
        self._from_child, from_child_w = os.pipe()

        def as_fds_3_and_4():
            # Move both ends above the low numbers first, so that neither
            # dup2 overwrites the other.
            a = fcntl.fcntl(to_child_r, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(from_child_w, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        args = [chromium_path(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--remote-debugging-pipe", "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--disable-background-networking", "--disable-sync", "--disable-component-update",
                f"--user-data-dir={self.profile}", f"--window-size={width},{height}", "about:blank"]
        # The browser is not ours: runtimes preloaded for a sanitizer run stay out of it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, preexec_fn=as_fds_3_and_4, pass_fds=(3, 4), env=env)
        os.close(to_child_r)
        os.close(from_child_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        self.session = None

    # -- protocol ----------------------------------------------------------

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("Chromium did not answer in time")
            ready, _, _ = select.select([self._from_child], [], [], left)
            if ready:
                chunk = os.read(self._from_child, 1 << 20)
                if not chunk:
                    raise RuntimeError("Chromium closed the pipe: " + self._stderr())
                self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=True):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._to_child, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method):
        deadline = time.monotonic() + self.timeout
        for event in self.events:
            if event.get("method") == method:
                return event
        while True:
            event = self._read_message(deadline)
            self.events.append(event)
            if event.get("method") == method:
                return event

    # -- what the tests use --------------------------------------------------

    def open(self, url):
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(f"{domain}.enable")
        self.send("Page.navigate", {"url": url})
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"evaluating {expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def errors(self):
        """Console errors, uncaught exceptions and error log entries so far."""
        out = []
        for event in self.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                out.append(params["exceptionDetails"].get("text", "exception"))
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                out.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", [])))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                out.append(params["entry"].get("text", ""))
        return out

    def requests(self):
        """URLs of every request the page made."""
        return [e["params"]["request"]["url"] for e in self.events if e.get("method") == "Network.requestWillBeSent"]

    def screenshot(self, width, height):
        """A PNG of the page's top width x height CSS pixels, beyond the window."""
        result = self.send("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})
        return base64.b64decode(result["data"])

    def _stderr(self):
        try:
            self.process.kill()
            return self.process.communicate(timeout=5)[1].decode(errors="replace")[-2000:]
        except Exception:  # noqa: BLE001 - only for the message
            return ""

    def close(self):
        try:
            if self.process.poll() is None:
                try:
                    self.send("Browser.close", session=False)
                except Exception:  # noqa: BLE001 - it may be gone already
                    pass
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            if self.process.stderr:
                self.process.stderr.close()
        finally:
            os.close(self._to_child)
            os.close(self._from_child)
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
