"""A small driver for headless Chromium over its DevTools pipe: open a page at
a given window size, evaluate scripts in it, read its metrics, take
screenshots.  Used by the browser tests, the report benchmark and the
screenshot script; it needs nothing beyond the standard library."""
from __future__ import annotations

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


class BrowserError(RuntimeError):
    pass


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """One headless Chromium with one page, driven through fds 3 and 4."""

    def __init__(self, exe: str, width: int = 1280, height: int = 800, extra_args: tuple[str, ...] = ()):
        self._profile = tempfile.mkdtemp(prefix="kob-chromium-")
        to_child_r, self._to_child = os.pipe()
        self._from_child, from_child_w = os.pipe()

        def wire_fds():  # runs in the child: the pipe is fd 3 (commands) and fd 4 (replies)
            # copies above 4 first, so that neither end is overwritten by the other
            r, w = fcntl.fcntl(to_child_r, fcntl.F_DUPFD, 10), fcntl.fcntl(from_child_w, fcntl.F_DUPFD, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)

        cmd = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
               "--no-default-browser-check", "--remote-debugging-pipe", "--enable-precise-memory-info",
               f"--user-data-dir={self._profile}", f"--window-size={width},{height}", *extra_args, "about:blank"]
        # the browser is not ours: a sanitizer runtime preloaded for the tests stays out of it
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self._proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, env=env, preexec_fn=wire_fds,
                                      pass_fds=(3, 4))
        os.close(to_child_r)
        os.close(from_child_w)
        self._buf = b""
        self._next_id = 0
        self.events: list[dict] = []
        try:
            targets = self._call("Target.getTargets")["targetInfos"]
            page = next(t for t in targets if t["type"] == "page")
            self._session = self._call("Target.attachToTarget", targetId=page["targetId"],
                                       flatten=True)["sessionId"]
            for domain in ("Page", "Runtime", "Performance"):
                self.send(f"{domain}.enable")
            self.resize(width, height)
        except BaseException:
            self.close()
            raise

    # ---- protocol ----------------------------------------------------------
    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buf:
            if time.monotonic() > deadline:
                raise BrowserError("no answer from Chromium in time")
            ready, _, _ = select.select([self._from_child], [], [], 0.5)
            if ready:
                chunk = os.read(self._from_child, 1 << 20)
                if not chunk:
                    raise BrowserError("Chromium closed its pipe")
                self._buf += chunk
        raw, self._buf = self._buf.split(b"\0", 1)
        return json.loads(raw)

    def _call(self, method: str, session: str | None = None, timeout: float = 120, **params):
        self._next_id += 1
        msg = {"id": self._next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._to_child, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error'].get('message')}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def send(self, method: str, timeout: float = 120, **params):
        """A command to the page's session."""
        return self._call(method, self._session, timeout, **params)

    # ---- page --------------------------------------------------------------
    def resize(self, width: int, height: int) -> None:
        self.send("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=False)

    def evaluate(self, expression: str, timeout: float = 120):
        """The value of a script in the page (promises are awaited); a thrown
        error becomes BrowserError."""
        r = self.send("Runtime.evaluate", timeout=timeout, expression=expression, returnByValue=True,
                      awaitPromise=True)
        if "exceptionDetails" in r:
            d = r["exceptionDetails"]
            raise BrowserError(d.get("exception", {}).get("description") or d.get("text"))
        return r["result"].get("value")

    def open(self, url: str, ready: str = "document.readyState === 'complete'", timeout: float = 120) -> None:
        """Navigates and waits until the `ready` expression is true."""
        self.send("Page.navigate", url=url)
        deadline = time.monotonic() + timeout
        while True:
            try:
                if self.evaluate(ready):
                    return
            except BrowserError:
                pass  # the old document went away mid-call
            if time.monotonic() > deadline:
                raise BrowserError(f"page not ready within {timeout} s: {ready}")
            time.sleep(0.05)

    def metrics(self) -> dict:
        return {m["name"]: m["value"] for m in self.send("Performance.getMetrics")["metrics"]}

    def collect_garbage(self) -> None:
        self.send("HeapProfiler.collectGarbage")

    def screenshot(self, path, full_page: bool = False) -> None:
        params = {"format": "png"}
        if full_page:
            width, height = self.evaluate("[document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
            params["clip"] = {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}
            params["captureBeyondViewport"] = True
        data = self.send("Page.captureScreenshot", **params)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def print_pdf(self) -> bytes:
        return base64.b64decode(self.send("Page.printToPDF", printBackground=False)["data"])

    def close(self) -> None:
        try:
            if self._proc.poll() is None:
                try:
                    os.write(self._to_child, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
                    self._proc.wait(timeout=10)
                except (OSError, subprocess.TimeoutExpired):
                    self._proc.kill()
                    self._proc.wait()
        finally:
            for fd in (self._to_child, self._from_child):
                try:
                    os.close(fd)
                except OSError:
                    pass
            shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self) -> "Browser":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
