"""A headless Chromium driven over its DevTools pipe (--remote-debugging-pipe), with nothing
but the standard library: open pages, fill fields, click buttons, and wait for what the next
page shows. Used by the browser tests that walk through the site's forms."""
import json
import os
import select
import subprocess
import time


class BrowserError(Exception):
    pass


class Browser:
    def __init__(self, chromium, profile, timeout=90.0):
        self.timeout = timeout
        to_chrome_r, self._w = os.pipe()
        self._r, from_chrome_w = os.pipe()

        def fds():  # the browser reads commands on fd 3 and answers on fd 4
            # Copies first, so that neither end is overwritten when a pipe already sits on 3 or 4;
            # only these two survive the exec (every other descriptor of ours is close-on-exec).
            a, b = os.dup(to_chrome_r), os.dup(from_chrome_w)
            os.dup2(a, 3)
            os.dup2(b, 4)
            os.set_inheritable(3, True)
            os.set_inheritable(4, True)

        self.proc = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--remote-debugging-pipe", "--user-data-dir=" + profile, "about:blank"],
            close_fds=False, preexec_fn=fds,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self._buf = b""
        self._next = 0
        self.session = None
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable")

    def close(self):
        try:
            self.call("Browser.close", session=False)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._w)
        os.close(self._r)

    def _read_message(self, deadline):
        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer from the browser in time")
            ready, _, _ = select.select([self._r], [], [], left)
            if ready:
                chunk = os.read(self._r, 65536)
                if not chunk:
                    raise BrowserError("the browser went away")
                self._buf += chunk
        msg, self._buf = self._buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, params=None, session=True):
        self._next += 1
        msg = {"id": self._next, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self._w, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self._next:
                if "error" in answer:
                    raise BrowserError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})

    def eval(self, expression):
        """The value of a script expression in the page, or None while the page changes."""
        try:
            r = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        except BrowserError:
            return None
        if "exceptionDetails" in r:
            return None
        return r.get("result", {}).get("value")

    def wait(self, expression, what):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.eval(expression):
                return
            time.sleep(0.1)
        raise BrowserError("waited in vain for " + what + "\n--- page ---\n" + (self.text() or ""))

    def text(self):
        return self.eval("document.body ? document.body.innerText : ''")

    def _loaded(self):
        # A page of our own is done once it is complete and no longer the one marked before.
        self.wait("document.readyState === 'complete' && !window.__qm_old", "the next page")

    def open(self, url):
        self.eval("window.__qm_old = 1")
        self.call("Page.navigate", {"url": url})
        self._loaded()

    def fill(self, selector, value):
        ok = self.eval("(() => { const e = document.querySelector(%s); if (!e) return false; e.value = %s; "
                       "return true; })()" % (json.dumps(selector), json.dumps(value)))
        if not ok:
            raise BrowserError("no field " + selector + "\n--- page ---\n" + (self.text() or ""))

    def choose(self, selector, option_text):
        """Selects the option of a <select> whose text contains `option_text`."""
        ok = self.eval("(() => { const s = document.querySelector(%s); if (!s) return false; "
                       "for (const o of s.options) if (o.text.includes(%s)) { s.value = o.value; return true; } "
                       "return false; })()" % (json.dumps(selector), json.dumps(option_text)))
        if not ok:
            raise BrowserError("no option %r in %s\n--- page ---\n%s" % (option_text, selector, self.text()))

    def click(self, selector):
        self.eval("window.__qm_old = 1")
        ok = self.eval("(() => { const e = document.querySelector(%s); if (!e) return false; e.click(); "
                       "return true; })()" % json.dumps(selector))
        if not ok:
            raise BrowserError("nothing to click at " + selector + "\n--- page ---\n" + (self.text() or ""))
        self._loaded()

    def value(self, selector):
        return self.eval("(() => { const e = document.querySelector(%s); return e ? e.value : null; })()"
                         % json.dumps(selector))

    def expect(self, text, where="the page"):
        body = self.text() or ""
        if text not in body:
            raise BrowserError("%r not shown on %s\n--- page ---\n%s" % (text, where, body))

    def screenshot(self, path):
        import base64
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
