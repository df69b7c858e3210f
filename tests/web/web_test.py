#!/usr/bin/python3
"""The phone's page in real browsers against the assembled bridge.

Starts `tarnwick-bridge --terminal` on a pseudo-terminal with a temporary home and a stand-in
`codex` (fake_codex.py, or the real Codex CLI against the model stand-in), and drives a real
browser engine through WebDriver the way a person uses a phone: it types a phone name, reads the
pairing code, pairs by code and by the QR code's address, opens threads, starts one, sends
messages, watches the answer stream in, stops a turn, answers approval cards (after a reload, a
dropped connection, a page that was away when Codex asked, on one of two devices), and survives
a restart of the bridge. Hostile HTML in Codex's output must stay text, and a page of another
origin must not get a session. Screenshots of each screen go to --screenshots; the time from
opening the page to paired and from "Send" to the first streamed text are printed.

Runs inside tests/link/run-in-private-network.sh: the bridge listens on its fixed port there,
on loopback alone, and the browsers and their drivers run in the same namespace. Exits 77 when
the engine is not installed.
"""

import argparse
import base64
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "app"))
from application_launch_test import (Failure, Terminal, environment,  # noqa: E402
                                     expect_no_processes_under)

SKIPPED = 77
PORT = 47600  # the bridge's own port; only ever inside the private network namespace
TIMEOUT = 30.0
PAGE = "https://127.0.0.1:%d/" % PORT
HOSTILE = "<img src=x onerror=alert(1)><script>window.tarnwickPwned=1</script>"
WEBKIT_BROWSERS = ["/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser",
                   "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.0/MiniBrowser"]

# Finds what a person would find by its name: an element labelled so (aria-label,
# aria-labelledby, <label>), or a button or link saying it. Only visible elements count.
FIND_BY_NAME = r"""
const name = arguments[0];
const text = (node) => (node ? node.textContent : "").replace(/\s+/g, " ").trim();
// A label's own words, without the text of the control inside it (a select's options).
const labelText = (label) => {
    const copy = label.cloneNode(true);
    copy.querySelectorAll("select, textarea, input, button").forEach((c) => c.remove());
    return text(copy);
};
const visible = (element) => element.getClientRects().length > 0 &&
    getComputedStyle(element).visibility !== "hidden";
for (const element of document.querySelectorAll("body *")) {
    if (!visible(element)) continue;
    if (element.getAttribute("aria-label") === name) return element;
    const ids = element.getAttribute("aria-labelledby");
    if (ids && ids.split(/\s+/).map((id) => text(document.getElementById(id))).join(" ")
            === name) return element;
    if (element.labels) {
        for (const label of element.labels) if (labelText(label) === name) return element;
    }
    if (element.matches("button, a, [role=button], [role=tab], summary") &&
        text(element) === name) return element;
}
return null;
"""

# The visible element whose own text is exactly the argument (the innermost one).
FIND_TEXT = r"""
const wanted = arguments[0], partly = arguments[1];
const text = (node) => node.innerText.replace(/\s+/g, " ").trim();
let found = null;
for (const element of document.querySelectorAll("body *")) {
    if (element.getClientRects().length === 0) continue;
    const shown = text(element);
    if (partly ? shown.includes(wanted) : shown === wanted) found = element;
}
return found;
"""

# Whether markup that arrived as data became markup.
HOSTILE_TRACES = r"""
return {
    images: document.querySelectorAll("img[src='x'], img[src$='/x']").length,
    scripts: [...document.scripts].filter((s) => s.textContent.includes("tarnwickPwned")).length,
    ran: typeof window.tarnwickPwned !== "undefined",
    bold: document.querySelectorAll("#app b, main b").length,
};
"""

# Tries a WebSocket session to `url` and says whether it opened.
TRY_SOCKET = r"""
const done = arguments[arguments.length - 1];
let socket;
try {
    socket = new WebSocket(arguments[0], ["tarnwick.v2"]);
} catch (error) {
    done("thrown " + error.name);
    return;
}
socket.onopen = () => { done("open"); socket.close(); };
socket.onerror = () => done("error");
socket.onclose = (event) => done("closed " + event.code);
"""

# Stands in for what a phone does with a new question (buzz, app badge), which a test browser
# cannot show; the page's calls are kept in order.
WATCH_NUDGES = r"""
window.tarnwickNudges = [];
navigator.vibrate = (pattern) => (window.tarnwickNudges.push(["vibrate", pattern]), true);
navigator.setAppBadge = (count) => (window.tarnwickNudges.push(["badge", count]), Promise.resolve());
navigator.clearAppBadge = () => (window.tarnwickNudges.push(["badge", 0]), Promise.resolve());
"""

# Notes, by the page's own clock, when the next form is submitted and when `wanted` first
# shows anywhere on the page after that.
WATCH_FOR_TEXT = r"""
const wanted = arguments[0];
window.tarnwickSeenAt = undefined;
window.tarnwickSentAt = undefined;
document.addEventListener("submit", () => { window.tarnwickSentAt = performance.now(); },
                          {capture: true, once: true});
const look = () => {
    if (window.tarnwickSentAt !== undefined && window.tarnwickSeenAt === undefined &&
        document.body.innerText.includes(wanted)) {
        window.tarnwickSeenAt = performance.now();
        observer.disconnect();
    }
};
const observer = new MutationObserver(look);
observer.observe(document.body, {subtree: true, childList: true, characterData: true});
"""


def wait_for(what, probe, timeout=TIMEOUT, describe=None):
    """Polls `probe` until it gives something true; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("never saw %s%s" % (what, "\n" + describe() if describe else ""))
        time.sleep(0.05)


# --- the bridge -------------------------------------------------------------------------------

class Bridge:
    """`tarnwick-bridge --terminal` with one home, started and stopped as often as needed."""

    def __init__(self, path, env):
        self.path, self.env, self.terminal = path, env, None
        self.options = []

    def start(self):
        self.terminal = Terminal([self.path, "--terminal"] + self.options, self.env)
        self.terminal.expect(r"Bridge started\.")

    def stop(self):
        self.terminal.type("quit")
        self.terminal.expect(r"Stopping the bridge\.\n")
        self.terminal.reap(TIMEOUT)
        self.terminal.kill()
        self.terminal = None

    def kill(self):
        if self.terminal is not None:
            self.terminal.kill()
            self.terminal = None

    def expect(self, pattern, what=None):
        return self.terminal.expect(pattern, what)

    def type(self, line):
        self.terminal.type(line)

    def screen(self):
        return self.terminal.screen if self.terminal else ""

    def phone_url(self):
        """The address the `phone` command prints; None from a bridge without the command."""
        self.type("phone")
        answer = self.expect(r"Open (https://\S+/#pair=[A-Za-z0-9_-]+) on the phone, or scan "
                             r"the code\.|Unknown command \"phone\"", "the phone command's address")
        return answer.group(1)


class FakeCodexLog:
    """What the fake Codex received, read back from its log."""

    def __init__(self, path):
        self.path = path

    def messages(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path) as log:
            return [json.loads(line) for line in log if line.strip()]

    def requests(self, method):
        return [m.get("params") or {} for m in self.messages() if m.get("method") == method]

    def answers(self):
        """The bridge's answers to the fake's own requests (approvals), in order."""
        return [m.get("result") for m in self.messages() if "method" not in m and "id" in m]


# --- the browsers -----------------------------------------------------------------------------

class Display:
    """A private X server for engines that need one (WebKitGTK has no headless mode)."""

    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                         "1280x1024x24", "-nolisten", "tcp"],
                                        pass_fds=(write,), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            number = numbers.readline().strip()
        if not number:
            self.close()
            raise Failure("Xvfb did not start")
        self.name = ":" + number

    def close(self):
        self.process.terminate()
        self.process.wait(TIMEOUT)


def engine_installed(engine):
    if engine == "chromium":
        return all(os.path.exists(p) for p in ("/usr/bin/chromium", "/usr/bin/chromedriver"))
    return os.path.exists("/usr/bin/WebKitWebDriver") and shutil.which("Xvfb") and \
        any(os.path.exists(p) for p in WEBKIT_BROWSERS)


class Browser:
    """One browser with a profile of its own: one phone, as far as the bridge can tell."""

    WIDTH, HEIGHT = 390, 844

    def __init__(self, engine, root, name, shots=None, verify=False, arguments=()):
        """`verify`: no certificate warning is clicked through (Chromium only)."""
        from selenium import webdriver  # only imported once the engine is known to be there
        self.engine, self.shots, self.name = engine, shots, name
        profile = os.path.join(root, "browser-" + name)
        os.makedirs(profile)
        if engine == "chromium":
            from selenium.webdriver.chrome.service import Service
            options = webdriver.ChromeOptions()
            options.binary_location = "/usr/bin/chromium"
            for argument in ("--headless=new", "--user-data-dir=" + profile,
                             "--no-first-run", "--disable-gpu", "--disable-dev-shm-usage",
                             "--disable-background-networking", "--disable-sync",
                             "--window-size=%d,%d" % (self.WIDTH, self.HEIGHT), *arguments):
                options.add_argument(argument)
            if os.geteuid() == 0:
                options.add_argument("--no-sandbox")  # Chromium's sandbox refuses root
            options.accept_insecure_certs = not verify
            self.driver = webdriver.Chrome(
                service=Service("/usr/bin/chromedriver",
                                log_path=os.path.join(profile, "chromedriver.log")),
                options=options)
            self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": self.WIDTH, "height": self.HEIGHT, "deviceScaleFactor": 1,
                "mobile": True})
        else:
            from selenium.webdriver.webkitgtk.options import Options
            options = Options()
            options.binary_location = next(p for p in WEBKIT_BROWSERS if os.path.exists(p))
            options.add_argument("--automation")
            options.accept_insecure_certs = True
            self.driver = webdriver.WebKitGTK(
                executable_path="/usr/bin/WebKitWebDriver", options=options,
                service_log_path=os.path.join(profile, "webkitwebdriver.log"))
            self.fit_window()

    def fit_window(self):
        """Makes the page's viewport the phone's size, whatever the window adds around it."""
        self.driver.set_window_size(self.WIDTH, self.HEIGHT)
        inner = self.driver.execute_script("return [innerWidth, innerHeight]")
        outer = self.driver.get_window_size()
        self.driver.set_window_size(outer["width"] + self.WIDTH - inner[0],
                                    outer["height"] + self.HEIGHT - inner[1])

    def quit(self):
        try:
            self.driver.quit()
        except Exception:  # the driver may already be gone; the test's result stands
            pass

    # What a person does.
    def open(self, url):
        self.driver.get(url)

    def script(self, source, *arguments):
        """Runs `source`; an element the page replaced while it was handed over counts as
        not found yet."""
        from selenium.common.exceptions import StaleElementReferenceException
        try:
            return self.driver.execute_script(source, *arguments)
        except StaleElementReferenceException:
            return None

    def find(self, name, timeout=TIMEOUT):
        return wait_for('"%s"' % name, lambda: self.script(FIND_BY_NAME, name), timeout,
                        self.describe)

    def absent(self, name):
        return self.script(FIND_BY_NAME, name) is None

    def again(self, what, action):
        """Does `action` on a fresh find when the page redrew the element in between."""
        from selenium.common.exceptions import (ElementNotInteractableException,
                                                StaleElementReferenceException)
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                return action()
            except (StaleElementReferenceException, ElementNotInteractableException) as error:
                if time.monotonic() > deadline:
                    raise Failure("could not %s: %s\n%s" % (what, error.msg, self.describe()))
                time.sleep(0.1)

    def tap(self, name):
        def press():
            element = self.find(name)
            wait_for('"%s" enabled' % name, element.is_enabled, describe=self.describe)
            self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
            element.click()
        self.again('tap "%s"' % name, press)

    def fill(self, name, text):
        self.again('fill in "%s"' % name, lambda: self.fill_once(name, text))

    def fill_once(self, name, text):
        element = self.find(name)
        if element.tag_name.lower() == "select":
            from selenium.webdriver.support.select import Select
            choice = Select(element)
            values = [o.get_attribute("value") for o in choice.options]
            labels = [o.text for o in choice.options]
            if text in values:
                choice.select_by_value(text)
            elif text in labels:
                choice.select_by_visible_text(text)
            else:
                raise Failure('"%s" offers %r, not %r' % (name, labels, text))
            return
        # The page may put a suggestion in while the test types: type until the field holds
        # exactly the text.
        wait_for('"%s" to hold %r' % (name, text), lambda: self.typed(element, text),
                 describe=self.describe)

    @staticmethod
    def typed(element, text):
        element.clear()
        element.send_keys(text)
        return element.get_attribute("value") == text

    def tap_text(self, text):
        def press():
            element = self.sees(text, partly=True)
            self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
            element.click()
        self.again('tap "%s"' % text, press)

    def sees(self, text, partly=False, timeout=TIMEOUT):
        return wait_for('"%s" on the page' % text, lambda: self.script(FIND_TEXT, text, partly),
                        timeout, self.describe)

    def shows(self, text, partly=False):
        return self.script(FIND_TEXT, text, partly) is not None

    def count(self, text):
        return self.driver.execute_script(
            "return document.body.innerText.split(arguments[0]).length - 1", text)

    def describe(self):
        try:
            return "the page (%s) said:\n%s" % (self.driver.current_url, self.driver.execute_script(
                "return document.body ? document.body.innerText : ''")[:3000])
        except Exception as error:  # noqa: BLE001 - only for the failure text
            return "the page could not be read: %s" % error

    def shot(self, screen, dark=False):
        """Screenshots the current screen as <screen>-<engine>-<light|dark>.png."""
        if not self.shots:
            return
        self.driver.execute_script("document.activeElement && document.activeElement.blur()")
        if self.engine == "chromium":
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
                {"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
            time.sleep(0.2)  # let a colour transition settle; the picture is not asserted on
        name = "%s-%s-%s.png" % (screen, self.engine, "dark" if dark else "light")
        self.driver.save_screenshot(os.path.join(self.shots, name))
        if self.engine == "chromium" and dark:
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
                {"name": "prefers-color-scheme", "value": "light"}]})

    def shots_of(self, screen):
        self.shot(screen)
        if self.engine == "chromium":  # WebKitGTK's driver cannot emulate the colour scheme
            self.shot(screen, dark=True)

    def no_hostile_traces(self, where):
        traces = self.driver.execute_script(HOSTILE_TRACES)
        if any(traces.values()):
            raise Failure("markup from Codex became page content %s: %r" % (where, traces))
        try:
            alert = self.driver.switch_to.alert
            text = alert.text
            alert.dismiss()
            raise Failure("an alert opened %s: %r" % (where, text))
        except Failure:
            raise
        except Exception:  # no alert is open: as it should be
            pass


# --- what a person does, step by step ---------------------------------------------------------

class Run:
    def __init__(self, engine, bridge, root, log, shots):
        self.engine, self.bridge, self.root, self.log, self.shots = (engine, bridge, root, log,
                                                                     shots)
        self.browsers = []
        self.measured = {}

    def browser(self, name, shots=False, verify=False, arguments=()):
        browser = Browser(self.engine, self.root, name, self.shots if shots else None, verify,
                          arguments)
        self.browsers.append(browser)
        return browser

    def close(self):
        for browser in self.browsers:
            browser.quit()

    def describe(self):
        """Where the browsers were, for a failure that did not say."""
        return "\n".join(browser.describe() for browser in self.browsers[:1])

    def measure(self, what, seconds):
        self.measured.setdefault(what, []).append(seconds)
        print("measured (%s): %s: %.0f ms" % (self.engine, what, seconds * 1000), flush=True)

    def name_the_phone(self, phone, name):
        phone.device_name = name
        phone.fill("Phone name", name)
        phone.tap("Continue")

    def pair_by_code(self, phone, name, shots=False, trusted=1):
        """First visit: name the phone, compare the codes, pair it from the terminal."""
        opened = time.monotonic()
        phone.open(PAGE)
        phone.find("Phone name")
        if shots:
            phone.shots_of("welcome")
        self.name_the_phone(phone, name)
        code = self.code_on(phone)
        self.measure("page opened to the pairing code shown (with the typing)",
                     time.monotonic() - opened)
        if shots:
            phone.shots_of("pairing")
        request = self.bridge.expect(r"Pairing request (\d+) from (.*)\n\s+Code:\s+(\d{6})\n",
                                     "a pairing request")
        if request.group(2).strip() != name:
            raise Failure("the request names %r, the phone is %r" % (request.group(2), name))
        if request.group(3) != code:
            raise Failure("the terminal shows %s, the page %s" % (request.group(3), code))
        confirmed = time.monotonic()
        self.bridge.type("pair " + request.group(1))
        phone.sees("Paired")
        self.measure('"pair N" typed to paired', time.monotonic() - confirmed)
        self.measure("page opened to paired, by code (with the typing)",
                     time.monotonic() - opened)
        self.bridge.expect(r"Paired devices: %d trusted\n" % trusted)

    def code_on(self, phone):
        element = phone.find("Pairing code")
        digits = wait_for("six digits as the pairing code",
                          lambda: re.sub(r"\D", "", element.text or
                                         element.get_attribute("value") or ""),
                          describe=phone.describe)
        if len(digits) != 6:
            raise Failure("the pairing code is %r" % digits)
        return digits

    def thread_list(self, phone, shots=False):
        phone.sees("Water the tomatoes in garden.py", partly=True)
        phone.sees("Why does the ledger test fail on Mondays?", partly=True)
        phone.sees("Preview " + HOSTILE, partly=True)
        phone.sees("/tmp/<b>bold</b>", partly=True)
        phone.no_hostile_traces("in the thread list")
        if shots:
            phone.shots_of("threads")

    def open_thread(self, phone):
        phone.tap_text("Water the tomatoes in garden.py")
        phone.sees("Earlier answer in thr-garden.", partly=True)
        if not [p for p in self.log.requests("thread/resume") + self.log.requests("thread/read")
                if p.get("threadId") == "thr-garden"]:
            raise Failure("opening the thread asked Codex for nothing of it")
        phone.tap("Back")
        phone.sees("Why does the ledger test fail on Mondays?", partly=True)

    def new_thread(self, phone, folder, policy):
        phone.tap("New thread")
        phone.fill("Working folder", folder)
        # The fake offers these models; with the real CLI, the model its configuration names
        # (the stand-in's) is the one that knows the shell tool: the choice without a value.
        phone.fill("Model", "gpt-fake" if self.log.path else "")
        phone.fill("Approval policy", policy)
        before = len(self.log.requests("thread/start"))
        phone.tap("Start")
        phone.find("Message")
        if self.log.path:
            started = wait_for("thread/start at the fake",
                               lambda: self.log.requests("thread/start")[before:])
            asked = started[0]
            if asked.get("cwd") != folder or asked.get("approvalPolicy") != policy or \
                    asked.get("model") != "gpt-fake":
                raise Failure("thread/start asked for %r" % asked)

    def ceiling(self, phone, home):
        """The form offers only what the computer's ceiling allows (the bridge's default), and a
        folder typed past it is refused on screen before Codex hears of it."""
        phone.tap("New thread")
        phone.find(home)
        offered = phone.script("return [...arguments[0].options].map((o) => o.value)",
                               phone.find("Approval policy"))
        sandboxes = phone.script("return [...arguments[0].options].map((o) => o.value)",
                                 phone.find("Sandbox"))
        if "never" in offered or sandboxes != ["read-only", "workspace-write"]:
            raise Failure("the form offers %r and %r" % (offered, sandboxes))
        before = len(self.log.requests("thread/start"))
        phone.fill("Working folder", "/")
        phone.tap("Start")
        phone.sees("This computer lets devices work only in " + home, partly=True)
        if len(self.log.requests("thread/start")) != before:
            raise Failure("a folder outside the ceiling reached Codex")
        phone.tap("New thread")

    def send(self, phone, text, first_words=None):
        """Types a message and sends it; with `first_words`, measures until they show."""
        phone.fill("Message", text)
        if first_words:
            phone.driver.execute_script(WATCH_FOR_TEXT, first_words)
        phone.tap("Send")
        if first_words:
            times = wait_for('"%s" streamed in' % first_words, lambda: phone.driver.execute_script(
                "return window.tarnwickSeenAt && [window.tarnwickSentAt, window.tarnwickSeenAt]"),
                describe=phone.describe)
            self.measure('"Send" to the first streamed text', (times[1] - times[0]) / 1000)

    def stream(self, phone, shots=False):
        self.send(phone, "Say hello", first_words="Streaming")
        phone.sees("Streaming reply from the fake Codex.", partly=True)
        phone.sees("That is all.", partly=True)
        phone.sees(HOSTILE, partly=True)
        phone.no_hostile_traces("in a streamed answer")
        if shots:
            phone.shots_of("thread")

    def stop_a_turn(self, phone, shots=False):
        self.send(phone, "Count long")
        phone.sees("Counting 3.", partly=True)
        if shots:
            phone.shots_of("thread-streaming")
        phone.fill("Message", "Count faster")
        phone.tap("Steer")
        steered = wait_for("turn/steer at the fake", lambda: self.log.requests("turn/steer"),
                           describe=phone.describe)
        if steered[0].get("input", [{}])[0].get("text") != "Count faster":
            raise Failure("Steer sent %r" % steered)
        phone.tap("Stop")
        wait_for("turn/interrupt at the fake", lambda: self.log.requests("turn/interrupt"),
                 describe=phone.describe)
        # The fake ends a turn as interrupted only when turn/interrupt reached it.
        phone.sees("The turn was stopped.")
        phone.find("Send")

    def approval(self, phone, answer, shots=False):
        before = len(self.log.answers())
        phone.driver.execute_script(WATCH_NUDGES)
        self.send(phone, "Please approve a command")
        phone.find("Approve")
        phone.find("Decline")
        phone.sees("Waiting for", partly=True)
        self.nudged(phone, "(1) Tarnwick Bridge", [["vibrate", 200], ["badge", 1]])
        phone.sees("date >> noted.txt", partly=True)
        phone.sees("To note the time " + HOSTILE, partly=True)
        phone.no_hostile_traces("on the approval card")
        if shots:
            phone.shots_of("approval")
        phone.tap(answer)
        answers = wait_for("the approval answer at the fake",
                           lambda: self.log.answers()[before:], describe=phone.describe)
        wanted = {"Approve": "accept", "Approve for this session": "acceptForSession",
                  "Decline": "decline", "Cancel turn": "cancel"}[answer]
        if answers != [{"decision": wanted}]:
            raise Failure("tapping %s answered %r" % (answer, answers))
        if wanted.startswith("accept"):
            phone.sees("The command ran.", partly=True)
            phone.tap("Output")
            phone.sees("noted " + HOSTILE, partly=True)
        else:
            phone.sees("I did not run it.", partly=True)
        wait_for("the approval card to go", lambda: phone.absent("Approve"),
                 describe=phone.describe)
        phone.sees("%s on %s" % ("Approved" if wanted.startswith("accept") else "Declined",
                                 phone.device_name))
        self.nudged(phone, "Tarnwick Bridge", [["badge", 0]])
        phone.no_hostile_traces("after the approval")

    @staticmethod
    def nudged(phone, title, nudges):
        """The page's title counts the open questions, and the last nudges are `nudges`."""
        wait_for("the title %r and the nudges %r" % (title, nudges), lambda: phone.script(
            "return document.title === arguments[0] && JSON.stringify("
            "window.tarnwickNudges.slice(-arguments[1].length)) === JSON.stringify(arguments[1])",
            title, nudges), describe=lambda: "the title was %r, the nudges %r" % tuple(
                phone.script("return [document.title, window.tarnwickNudges]")))

    def approved_at_codex(self, phone, before, by=None):
        """Taps Approve on `phone`: Codex gets exactly that answer, and every card goes with
        the note that says who approved it."""
        phone.tap("Approve")
        answers = wait_for("the approval at the fake", lambda: self.log.answers()[before:],
                           describe=phone.describe)
        if answers != [{"decision": "accept"}]:
            raise Failure("Approve answered %r" % answers)
        for shown in by or [phone]:
            shown.sees("Approved on " + phone.device_name)
            wait_for("the card to go", lambda: shown.absent("Approve"), describe=shown.describe)

    def asked(self):
        return sum(1 for m in self.log.messages() if "asked" in m)

    def drop_connections(self):
        """Cuts every TCP connection to the bridge, as a phone's lost network does."""
        subprocess.run(["ss", "-K", "-t", "state", "established", "(", "sport", "=",
                        ":%d" % PORT, ")"], check=True, stdout=subprocess.DEVNULL)

    def approval_survives(self, phone):
        """An open card comes back after a reload and stays through a dropped connection, and
        Approve then still reaches Codex."""
        before = len(self.log.answers())
        self.send(phone, "Please approve a command")
        phone.find("Approve")
        reloaded = time.monotonic()
        phone.driver.refresh()
        phone.find("Approve")
        self.measure("page reloaded to its open card shown again", time.monotonic() - reloaded)
        self.measure("reloaded page's start to its card shown, by the page's clock", phone.script(
            "return performance.getEntriesByName('approval card shown')[0].startTime") / 1000)
        # Its thread by name, from the thread list, and it opens that thread.
        phone.tap("Say hello")
        phone.find("Message")
        if phone.count("Codex asks to run a command") != 1:
            raise Failure("the card was shown %d times" % phone.count("Codex asks to run a command"))
        self.approved_at_codex(phone, before)

        before = len(self.log.answers())
        self.send(phone, "Please approve a command")
        phone.find("Approve")
        self.drop_connections()
        wait_for("the page to notice the dropped connection",
                 lambda: not phone.shows("Paired"), describe=phone.describe)
        phone.sees("Codex asks to run a command")
        phone.sees("Paired")
        back = time.monotonic()
        self.approved_at_codex(phone, before)
        self.measure("connection back to the approval at Codex", time.monotonic() - back)
        if phone.shows("Not connected to the computer.", partly=True):
            raise Failure("a stale connection error stayed in the thread")

    def approval_while_away(self, phone):
        """Codex asks while no page is open: the question waits, and the page opened later
        shows it and approves it."""
        before, asked = len(self.log.answers()), self.asked()
        self.send(phone, "Please approve a command later")
        phone.open("about:blank")
        wait_for("the fake to ask while no page was open", lambda: self.asked() > asked)
        reopened = time.monotonic()
        phone.open(PAGE)
        phone.find("Approve")
        if self.log.answers()[before:]:
            raise Failure("a question asked while no page was open was answered: %r"
                          % self.log.answers()[before:])
        self.approved_at_codex(phone, before)
        self.measure("page opened again to the approval at Codex", time.monotonic() - reopened)

    def approval_on_two(self, phone):
        """Two paired devices are both shown the question; one answers, the other's card goes
        with the note. A device forgotten on the computer says so at once."""
        tablet = self.browser("pad")
        self.pair_by_code(tablet, "Test Tablet", trusted=2)
        phone.tap_text("Say hello")
        phone.find("Message")
        before = len(self.log.answers())
        self.send(phone, "Please approve a command")
        phone.find("Approve")
        tablet.find("Approve")
        self.approved_at_codex(tablet, before, by=[tablet, phone])

        self.bridge.type("devices")
        listed = self.bridge.expect(r"(\d+)\. \W{0,3}Test Tablet", "the tablet in the devices list")
        self.bridge.type("forget " + listed.group(1))
        tablet.sees("This phone was forgotten by the computer. Pair it again.")
        tablet.quit()

    def wait_limit(self, phone, folder):
        """With a short wait limit, set in the terminal, a question asked while no page is open
        is declined, and the activity log says so. The thread starts in `folder`, inside the
        ceiling."""
        self.bridge.type("approval-wait 1")
        self.bridge.expect(r"Approval questions wait 1 s for a paired device\.", "the new limit")
        phone.open(PAGE)
        phone.sees("Paired")
        self.new_thread(phone, folder, "on-request")
        before = len(self.log.answers())
        self.send(phone, "Please approve a command later")
        phone.open("about:blank")
        self.bridge.expect(r"Declined .+ after waiting \d+ min: no paired device came back\.",
                           "the wait limit's decline in the activity log")
        answers = wait_for("the decline at the fake", lambda: self.log.answers()[before:])
        if answers != [{"decision": "decline"}]:
            raise Failure("the wait limit answered %r" % answers)

    def other_origins(self, phone):
        """Only the bridge's own page gets a session; another origin's page is refused."""
        bridge_socket = "wss://127.0.0.1:%d/session?peer=Intruder" % PORT
        phone.open(PAGE)
        phone.driver.set_script_timeout(TIMEOUT)
        own = phone.driver.execute_async_script(
            TRY_SOCKET, "wss://127.0.0.1:%d/session?peer=Own%%20Page" % PORT)
        if own != "open":
            raise Failure("the bridge's own page could not open a socket: %s" % own)

        # A page the bridge did not serve, so no policy of the bridge's own stands in the way:
        # only the bridge's Origin check can refuse it. One on another port of this host...
        attacker = AttackerSite()
        try:
            phone.open(attacker.url)
            phone.sees("another site")
            outcome = phone.driver.execute_async_script(TRY_SOCKET, bridge_socket)
            if outcome == "open":
                raise Failure("a page of %s opened a session" % attacker.url)
        finally:
            attacker.close()
        # ...and one of no origin at all.
        phone.open("data:text/html,<p>a data page</p>")
        outcome = phone.driver.execute_async_script(TRY_SOCKET, bridge_socket)
        if outcome == "open":
            raise Failure("a data: page opened a session")
        if "Intruder" in self.bridge.screen():
            raise Failure("a refused upgrade reached the bridge's sessions")
        # A name the bridge does not answer to (DNS rebinding) is misdirected, and an upgrade
        # that names a foreign origin is forbidden, whoever sends it.
        refused = raw_request("GET / HTTP/1.1\r\nHost: attacker.example:%d\r\n\r\n" % PORT)
        if not refused.startswith("HTTP/1.1 421"):
            raise Failure("a foreign Host was answered: %r" % refused[:200])
        refused = raw_request(
            "GET /session?peer=X HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: tarnwick.v2\r\n"
            "Origin: https://attacker.example\r\n\r\n" % PORT)
        if not refused.startswith("HTTP/1.1 403"):
            raise Failure("an upgrade from a foreign Origin was answered: %r" % refused[:200])

    def reconnect(self, phone):
        """The bridge goes away and comes back with the same home: the phone is paired again
        without a new request."""
        self.bridge.stop()
        phone.sees("The bridge is not reachable", timeout=TIMEOUT * 2)
        if phone.find("Send").is_enabled():
            raise Failure("Send is enabled while the bridge is not reachable")
        # Enter in the message field does not send either, and leaves no error behind.
        from selenium.webdriver.common.keys import Keys
        phone.fill("Message", "Sent while away")
        phone.find("Message").send_keys(Keys.ENTER)
        self.bridge.start()
        phone.sees("Paired", timeout=TIMEOUT * 2)
        self.bridge.expect(r"Codex app-server ready")
        for stale in ("Not connected to the computer.", "The bridge went away before it answered."):
            if phone.shows(stale, partly=True):
                raise Failure("%r stayed in the thread after the reconnect" % stale)
        phone.tap("Back")
        phone.sees("Why does the ledger test fail on Mondays?", partly=True)
        if "Pairing request" in self.bridge.screen():
            raise Failure("a trusted phone asked to pair again after the restart")

    def pair_by_qr(self, shots=False):
        """The address from `phone`: a wrong secret is refused and does not spoil the right
        one, which pairs once; a second use is refused, and the code path is offered."""
        url = self.bridge.phone_url()
        if url is None:
            print("NOT RUN: pairing by QR code (this bridge has no phone command)", flush=True)
            return
        if not url.startswith("https://127.0.0.1:%d/#pair=" % PORT):
            raise Failure("the phone command gave %r" % url)
        self.bridge.expect(r"Certificate SHA-256: [0-9A-F]{2}(:[0-9A-F]{2}){15}:")
        self.bridge.expect(r"The code works once, for 5 minutes\.")
        secret = url.split("#pair=", 1)[1]
        if len(base64.urlsafe_b64decode(secret + "=" * (-len(secret) % 4))) != 32:
            raise Failure("the secret in %r is not 32 bytes" % url)
        wrong = url[:-len(secret)] + ("B" if secret[0] != "B" else "C") + secret[1:]

        tablet = self.browser("tablet")
        tablet.open(wrong)
        self.name_the_phone(tablet, "Wrong Tablet")
        wait_for("the secret to leave the address bar",
                 lambda: "#pair" not in tablet.driver.current_url, describe=tablet.describe)
        self.bridge.expect(r"Refused pairing by QR code from Wrong Tablet: the QR code is "
                           r"wrong, used or expired\.")
        tablet.find("Pair with a code")

        laptop = self.browser("laptop")
        opened = time.monotonic()
        laptop.open(url)
        self.name_the_phone(laptop, "QR Laptop")
        laptop.sees("Paired")
        self.measure("page opened to paired, by QR code (with the typing)",
                     time.monotonic() - opened)
        self.bridge.expect(r"Paired QR Laptop by QR code\.")
        if "#pair" in laptop.driver.current_url:
            raise Failure("the secret stayed in the address: %s" % laptop.driver.current_url)
        laptop.quit()

        tablet.quit()

        # Another phone scans the same code, used once already.
        second = self.browser("second")
        second.open(url)
        self.name_the_phone(second, "Second Tablet")
        self.bridge.expect(r"Refused pairing by QR code from Second Tablet: the QR code is "
                           r"wrong, used or expired\.")
        second.tap("Pair with a code")
        code = self.code_on(second)
        request = self.bridge.expect(r"Pairing request (\d+) from Second Tablet\n\s+Code:\s+"
                                     r"(\d{6})\n", "the code path after a refused QR code")
        if request.group(2) != code:
            raise Failure("the terminal shows %s, the page %s" % (request.group(2), code))
        self.bridge.type("reject " + request.group(1))
        second.quit()


class AttackerSite:
    """A plain page of another origin on loopback, serving only itself."""

    def __init__(self):
        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802 - the name http.server calls
                body = b"<!doctype html><p>another site</p>"
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *arguments):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def raw_request(text):
    """Sends one request over TLS to the bridge and gives the status line and headers."""
    import socket
    import ssl
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with socket.create_connection(("127.0.0.1", PORT), timeout=TIMEOUT) as plain:
        with context.wrap_socket(plain) as tls:
            tls.sendall(text.encode())
            answer = b""
            while b"\r\n\r\n" not in answer:
                chunk = tls.recv(4096)
                if not chunk:
                    break
                answer += chunk
    return answer.decode("latin-1")


# --- the runs ---------------------------------------------------------------------------------

def fake_codex_environment(root):
    env = environment(root)
    log = os.path.join(root, "codex-log.jsonl")
    with open(os.path.join(root, "bin", "codex"), "w") as codex:
        codex.write("#!/bin/sh\nexec /usr/bin/python3 %s --log %s \"$@\"\n"
                    % (os.path.join(HERE, "fake_codex.py"), log))
    return env, FakeCodexLog(log)


def failed(failure, run, bridge):
    """The failure with the terminal's screen, and the page's when a driver gave up."""
    text = str(failure)
    if not isinstance(failure, Failure):
        text = "%s: %s\n%s" % (type(failure).__name__, failure, run.describe())
    return Failure("%s\n--- the terminal ---\n%s" % (text, bridge.screen()))


def run_fake(bridge_path, engine, shots):
    with tempfile.TemporaryDirectory(prefix="tarnwick-web-") as root:
        env, log = fake_codex_environment(root)
        bridge = Bridge(bridge_path, env)
        run = Run(engine, bridge, root, log, shots)
        try:
            bridge.start()
            phone = run.browser("phone", shots=True)
            run.pair_by_code(phone, "Test Phone", shots=True)
            run.thread_list(phone, shots=True)
            run.open_thread(phone)
            home = os.path.join(root, "home")
            os.makedirs(os.path.join(home, "garden"))
            run.ceiling(phone, home)
            run.new_thread(phone, os.path.join(home, "garden"), "on-request")
            run.stream(phone, shots=True)
            run.stop_a_turn(phone, shots=True)
            run.approval(phone, "Approve", shots=True)
            run.approval(phone, "Decline")
            run.approval_survives(phone)
            run.approval_while_away(phone)
            run.approval_on_two(phone)
            run.reconnect(phone)
            run.other_origins(phone)
            run.pair_by_qr()
            run.wait_limit(phone, os.path.join(home, "garden"))
            bridge.stop()
        except Exception as failure:  # noqa: BLE001 - a driver's error fails the test too
            raise failed(failure, run, bridge)
        finally:
            run.close()
            bridge.kill()
        expect_no_processes_under(root, "the browser test")
        return run.measured


def run_real_codex(bridge_path, codex, stand_in, shots):
    """One pass with the real Codex CLI against the model stand-in: a question asked while the
    page was closed waits for it, and approving it then runs the command; cancelling does not."""
    with tempfile.TemporaryDirectory(prefix="tarnwick-web-codex-") as root:
        env = environment(root)
        os.remove(os.path.join(root, "bin", "codex"))
        os.symlink(os.path.abspath(codex), os.path.join(root, "bin", "codex"))
        work = os.path.join(root, "home", "work")
        os.makedirs(work)
        model = subprocess.Popen(
            [stand_in, "--command", "echo ran >> ran.txt", "--reason", "To note that the turn "
             "ran.", "--reply", "Done.", "--log", os.path.join(root, "model-requests.jsonl"),
             "--write-codex-config", os.path.join(root, "codex-home")],
            stdout=subprocess.PIPE, text=True)
        notified = os.path.join(root, "notified.jsonl")
        notify = os.path.join(root, "bin", "notify")
        with open(notify, "w") as script:
            script.write("#!/bin/sh\ncat >> %s\necho >> %s\n" % (notified, notified))
        os.chmod(notify, 0o755)
        read = lambda path: open(path).read() if os.path.exists(path) else ""  # noqa: E731
        bridge = Bridge(bridge_path, env)
        bridge.options = ["--notify-command=" + notify]
        run = Run("chromium", bridge, root, FakeCodexLog(""), shots)
        try:
            listening = model.stdout.readline()
            if not listening.startswith("Listening on "):
                raise Failure("the model stand-in did not start: %r" % listening)
            url = listening.split()[2].split("/v1")[0]
            env.update(CODEX_HOME=os.path.join(root, "codex-home"), NO_PROXY="127.0.0.1,localhost",
                       no_proxy="127.0.0.1,localhost")
            for proxy in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy",
                          "all_proxy"):
                env[proxy] = url
            bridge.start()
            phone = run.browser("phone")
            run.pair_by_code(phone, "Real Phone")
            phone.find("New thread")
            run.new_thread(phone, work, "untrusted")
            ran = os.path.join(work, "ran.txt")
            runs = lambda: open(ran).read().count("ran\n") if os.path.exists(ran) else 0  # noqa

            # The page goes before Codex asks; the question waits for it (the notify command
            # says when it started waiting with no device there), and the page opened again
            # shows it.
            run.send(phone, "Please note that you ran.")
            phone.open("about:blank")
            wait_for("the question to wait with no device connected",
                     lambda: "question-waiting" in read(notified), TIMEOUT * 4)
            reopened = time.monotonic()
            phone.open(PAGE)
            phone.tap_text("Please note that you ran.")
            phone.find("Approve", timeout=TIMEOUT * 4)
            phone.sees("echo ran >> ran.txt", partly=True)
            if runs():
                raise Failure("the command ran before it was approved")
            phone.tap("Approve")
            wait_for("the approved command to run", lambda: runs() == 1, TIMEOUT * 4,
                     phone.describe)
            run.measure("page opened again to the approved command run", time.monotonic() - reopened)
            wait_for("the answer after the command", lambda: phone.count("Done.") >= 1,
                     TIMEOUT * 4, phone.describe)

            # Codex offers no "decline" for a command; the card offers only what it offered.
            run.send(phone, "Once more, please.")
            phone.find("Cancel turn", timeout=TIMEOUT * 4)
            if not phone.absent("Decline"):
                raise Failure("the card offers Decline, which Codex did not offer")
            phone.tap("Cancel turn")
            phone.sees("The turn was stopped.", timeout=TIMEOUT * 4)
            if runs() != 1:
                raise Failure("the cancelled command ran: %d runs" % runs())
            bridge.stop()
        except Exception as failure:  # noqa: BLE001 - a driver's error fails the test too
            raise failed(failure, run, bridge)
        finally:
            run.close()
            bridge.kill()
            model.kill()
            model.wait()
        expect_no_processes_under(root, "the real Codex browser test")
        return run.measured


# --- a phone that verifies the computer -------------------------------------------------------

VERIFIED = "This phone verifies the computer"
NOT_VERIFIED = "Not verified: a certificate warning on this page could be someone in between"
TRUST_STEP = "Trust this computer on this phone"


def openssl(*arguments, data=None):
    return subprocess.run(["openssl", *arguments], input=data, capture_output=True,
                          check=True).stdout


def fetch(path, cafile=None):
    """GETs `path` from the bridge: status, headers and body; verified against `cafile`."""
    import http.client
    import ssl
    context = ssl.create_default_context(cafile=cafile) if cafile else \
        ssl._create_unverified_context()  # noqa: S323 - the download is checked by fingerprint
    connection = http.client.HTTPSConnection("127.0.0.1", PORT, timeout=TIMEOUT, context=context)
    try:
        connection.request("GET", path)
        answer = connection.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()
    finally:
        connection.close()


class TlsServer:
    """A TLS server of the attacker's on an ephemeral loopback port: with `upstream`, a relay
    that passes each connection on to the bridge; without, a page of its own. It counts the
    connections whose TLS handshake completed."""

    def __init__(self, certificate, key, upstream=False):
        import socket
        import ssl
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certificate, key)
        self.upstream, self.completed, self.relayed = upstream, 0, 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                plain, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(plain,), daemon=True).start()

    def serve(self, plain):
        import socket
        import ssl
        try:
            with self.context.wrap_socket(plain, server_side=True) as tls:
                self.completed += 1
                if not self.upstream:
                    tls.recv(65536)
                    body = b"<!doctype html><title>forged</title><p>forged page</p>"
                    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                                b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) +
                                body)
                    return
                client = ssl._create_unverified_context()  # noqa: S323 - the relay's own side
                with client.wrap_socket(socket.create_connection(("127.0.0.1", PORT))) as bridge:
                    self.pump(tls, bridge)
        except (OSError, ssl.SSLError):
            pass

    def pump(self, one, other):
        def copy(source, target):
            try:
                while data := source.recv(65536):
                    self.relayed += len(data)
                    target.sendall(data)
            except OSError:
                pass
        thread = threading.Thread(target=copy, args=(other, one), daemon=True)
        thread.start()
        copy(one, other)
        thread.join(TIMEOUT)

    def close(self):
        self.listener.close()


def refused_by(browser, url):
    """Whether the browser refused `url` for its certificate instead of showing the page."""
    from selenium.common.exceptions import InsecureCertificateException, WebDriverException
    try:
        browser.open(url)
    except InsecureCertificateException:
        return True
    except WebDriverException as error:
        return "ERR_CERT" in str(error)
    page = browser.driver.execute_script("return document.body ? document.body.innerText : ''")
    return "forged page" not in page and "Tarnwick" not in browser.driver.title and \
        ("ERR_CERT" in page or "not private" in page)


def click_through(browser, url):
    """What a person does at the certificate warning: Advanced, then Proceed."""
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.common.by import By
    try:
        browser.open(url)
    except WebDriverException:
        pass  # the driver reports the warning; the person sees it
    wait_for("the certificate warning", lambda: browser.driver.find_elements(
        By.ID, "details-button"), describe=browser.describe)[0].click()
    browser.driver.find_element(By.ID, "proceed-link").click()


def check_downloads(root, fingerprint):
    """The authority in the forms phones take, as phones read them; gives its PEM file."""
    import plistlib
    status, headers, der = fetch("/trust/tarnwick-bridge-ca.crt")
    if status != 200 or headers.get("Content-Type") != "application/x-x509-ca-cert":
        raise Failure("the certificate download: %s %r" % (status, headers))
    for header in ("X-Content-Type-Options", "Content-Security-Policy", "X-Frame-Options"):
        if header not in headers:
            raise Failure("the certificate download has no %s" % header)
    shown = openssl("x509", "-inform", "DER", "-noout", "-fingerprint", "-sha256", data=der)
    if shown.decode().strip().split("=", 1)[1] != fingerprint:
        raise Failure("the download is %r, the computer shows %s" % (shown, fingerprint))
    text = openssl("x509", "-inform", "DER", "-noout", "-text", data=der).decode()
    if "CA:TRUE" not in text or "Permitted:" not in text:
        raise Failure("the download is no name-constrained authority:\n" + text)
    status, headers, profile = fetch("/trust/tarnwick-bridge-ca.mobileconfig")
    if status != 200 or headers.get("Content-Type") != "application/x-apple-aspen-config":
        raise Failure("the profile download: %s %r" % (status, headers))
    parsed = plistlib.loads(profile)
    payloads = parsed["PayloadContent"]
    if parsed["PayloadType"] != "Configuration" or len(payloads) != 1 or \
            payloads[0]["PayloadType"] != "com.apple.security.root" or \
            payloads[0]["PayloadContent"] != der:
        raise Failure("the profile is not one root payload of the authority: %r" % parsed)
    pem = os.path.join(root, "authority.pem")
    with open(pem, "wb") as out:
        out.write(openssl("x509", "-inform", "DER", data=der))
    # Python's own verifier takes the bridge's chain on that authority alone.
    if fetch("/", cafile=pem)[0] != 200:
        raise Failure("the page does not verify against the authority")
    return pem, der


def forged_leaf(root, name, alternative, authority):
    """A certificate for `alternative` signed with the authority's own key, as someone who
    stole it would make one."""
    key, csr, leaf = (os.path.join(root, name + suffix) for suffix in (".key", ".csr", ".crt"))
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-subj", "/CN=" + name, "-addext", "subjectAltName=" + alternative,
            "-addext", "extendedKeyUsage=serverAuth", "-out", csr)
    openssl("x509", "-req", "-in", csr, "-CA", authority, "-CAkey", authority, "-days", "7",
            "-copy_extensions", "copy", "-out", leaf)
    return leaf, key


def run_trust(bridge_path, shots):
    """Chromium without a way past certificate warnings, with the computer's authority in its
    own NSS database under the temporary HOME: the page opens without a warning, says it is
    verified and pairs; a relay with its own certificate and a certificate for a public name
    signed with the authority's key are refused, and nothing of them reaches Codex."""
    with tempfile.TemporaryDirectory(prefix="tarnwick-web-trust-") as root:
        env, log = fake_codex_environment(root)
        bridge = Bridge(bridge_path, env)
        run = Run("chromium", bridge, root, log, shots)
        servers = []
        try:
            bridge.start()
            bridge.type("phone")
            fingerprint = bridge.expect(
                r"it must be ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})\.", "the authority's fingerprint"
            ).group(1)
            pem, der = check_downloads(root, fingerprint)

            # Before: the person clicked through the warning, and the page says so.
            clicked = run.browser("clicked-through", shots=True, verify=True)
            click_through(clicked, PAGE)
            clicked.sees(NOT_VERIFIED)
            clicked.tap(TRUST_STEP)
            clicked.sees("iPhone or iPad (Safari)")
            if shots:
                clicked.shots_of("trust")
            clicked.quit()

            nssdb = os.path.join(os.environ["HOME"], ".pki", "nssdb")
            os.makedirs(nssdb)
            subprocess.run(["certutil", "-d", "sql:" + nssdb, "-N", "--empty-password"], check=True)
            with open(os.path.join(root, "authority.der"), "wb") as out:
                out.write(der)
            subprocess.run(["certutil", "-d", "sql:" + nssdb, "-A", "-t", "C,,", "-n",
                            "Tarnwick Bridge", "-i", os.path.join(root, "authority.der")],
                           check=True)

            phone = run.browser("verified", shots=True, verify=True, arguments=(
                "--host-resolver-rules=MAP example.com 127.0.0.1",))
            run.pair_by_code(phone, "Verified Phone")
            phone.sees(VERIFIED)
            if shots:
                phone.shots_of("verified")
            if phone.count(TRUST_STEP):
                raise Failure("a verified page still offers the trust step")
            # The service worker takes the page over and keeps this build's files; a reload
            # then works from them.
            wait_for("the service worker to control the page", lambda: phone.script(
                "return navigator.serviceWorker.controller !== null"), describe=phone.describe)
            phone.driver.refresh()
            phone.sees("Paired")
            phone.sees(VERIFIED)
            kept = phone.driver.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "caches.keys().then(async (keys) => done([keys, (await (await caches.open("
                "keys[0])).keys()).map((r) => new URL(r.url).pathname)]), () => done(null));")
            if not kept or len(kept[0]) != 1 or not kept[0][0].startswith("tarnwick-") or \
                    "/" not in kept[1] or not any(p.startswith("/assets/") for p in kept[1]):
                raise Failure("the service worker keeps no files of this build: %r" % kept)

            requests = len(log.messages())
            relay_key = os.path.join(root, "relay.key")
            relay_certificate = os.path.join(root, "relay.crt")
            openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", relay_key, "-out", relay_certificate, "-days", "7",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1")
            relay = TlsServer(relay_certificate, relay_key, upstream=True)
            servers.append(relay)
            if not refused_by(phone, "https://127.0.0.1:%d/" % relay.port):
                raise Failure("the browser took the relay's certificate")
            if relay.relayed:
                raise Failure("%d bytes went through the relay" % relay.relayed)

            authority = os.path.join(root, "data", "tarnwick-bridge", "tls-authority.pem")
            for name, alternative, host, allowed in (
                    ("loopback", "IP:127.0.0.1", "127.0.0.1", True),
                    ("public", "DNS:example.com", "example.com", False)):
                server = TlsServer(*forged_leaf(root, name, alternative, authority))
                servers.append(server)
                url = "https://%s:%d/" % (host, server.port)
                if refused_by(phone, url) == allowed:
                    raise Failure("a leaf for %s signed by the authority was %s" %
                                  (alternative, "refused" if allowed else "taken"))
            if len(log.messages()) != requests or "Pairing request" in \
                    bridge.screen().split("Paired devices: 1 trusted")[-1]:
                raise Failure("something of the relay or the forgeries reached the bridge")
            bridge.stop()
        except Exception as failure:  # noqa: BLE001 - a driver's error fails the test too
            raise failed(failure, run, bridge)
        finally:
            for server in servers:
                server.close()
            run.close()
            bridge.kill()
        expect_no_processes_under(root, "the trust test")
        return run.measured


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--engine", choices=("chromium", "webkit"), default="chromium")
    parser.add_argument("--screenshots", help="folder for the screenshots")
    parser.add_argument("--real-codex", help="the Codex CLI; runs the real-Codex pass only")
    parser.add_argument("--model-stand-in", help="path of model-stand-in (with --real-codex)")
    parser.add_argument("--trust", action="store_true",
                        help="the phone that verifies the computer (Chromium only)")
    arguments = parser.parse_args()
    if os.environ.get("TARNWICK_IN_PRIVATE_NETWORK") != "1":
        print("SKIPPED: run me inside tests/link/run-in-private-network.sh")
        return SKIPPED
    if not engine_installed(arguments.engine):
        print("SKIPPED: %s is not installed" % arguments.engine)
        return SKIPPED
    if arguments.trust and not shutil.which("certutil"):
        print("SKIPPED: certutil (libnss3-tools) is not installed")
        return SKIPPED
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("SKIPPED: python3-selenium is not installed")
        return SKIPPED
    if arguments.screenshots:
        os.makedirs(arguments.screenshots, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tarnwick-web-browsers-") as home:
        # The browsers and their drivers keep their caches and settings here, not in the
        # account's own folders.
        for name, folder in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"),
                             ("XDG_DATA_HOME", "data"), ("XDG_CACHE_HOME", "cache")):
            os.makedirs(os.path.join(home, folder))
            os.environ[name] = os.path.join(home, folder)
        return run(arguments)


def run(arguments):
    display = None
    try:
        if arguments.engine == "webkit":
            display = Display()
            os.environ["DISPLAY"] = display.name
        if arguments.real_codex:
            if not os.path.exists(arguments.real_codex):
                raise Failure("%s is missing; scripts/setup installs it" % arguments.real_codex)
            run_real_codex(os.path.abspath(arguments.bridge), arguments.real_codex,
                           arguments.model_stand_in, None)
        elif arguments.trust:
            run_trust(os.path.abspath(arguments.bridge), arguments.screenshots)
        else:
            run_fake(os.path.abspath(arguments.bridge), arguments.engine, arguments.screenshots)
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    finally:
        if display:
            display.close()
    print("web page in %s: all steps passed" % arguments.engine)
    return 0


if __name__ == "__main__":
    sys.exit(main())
