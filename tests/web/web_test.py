#!/usr/bin/python3
"""The phone's page in real browsers against the assembled bridge.

Starts `tarnwick-bridge --terminal` on a pseudo-terminal with a temporary home and a stand-in
`codex` (fake_codex.py, or the real Codex CLI against the model stand-in), and drives a real
browser engine through WebDriver the way a person uses a phone: it names the phone, pairs by
code and by the QR code's address, opens threads, starts one, watches an answer stream in (by
appends only), steers and stops a turn, answers approval cards (also after a reload and a
dropped connection), is forgotten, and survives a restart of the bridge. Hostile
HTML from Codex must stay text. (That another site's page gets no session is the link test's.)
Screenshots of each screen go to --screenshots. Timings are the page benchmark's (bench/).

Runs inside tests/link/run-in-private-network.sh: the bridge listens on its fixed port there,
on loopback alone, and the browsers and their drivers run in the same namespace. Exits 77 when
the engine is not installed.
"""

import argparse
import contextlib
import importlib.util
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
                                     expect_nothing_left)

SKIPPED = 77
PORT = 47600  # the bridge's own port; only ever inside the private network namespace
TIMEOUT = 30.0
PAGE = "https://127.0.0.1:%d/" % PORT
HOSTILE = "<img src=x onerror=alert(1)><script>window.tarnwickPwned=1</script>"
WEBKIT_BROWSERS = ["/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser",
                   "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.0/MiniBrowser"]

# Finds what a person would find by its name: an element labelled so (aria-label, <label>), or
# a button or link saying it. Only visible elements count.
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
    if (element.labels) {
        for (const label of element.labels) if (labelText(label) === name) return element;
    }
    if (element.matches("button, a, [role=button], summary") &&
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

# Stands in for what a phone does with a new question (buzz, app badge), which a test browser
# cannot show; the page's calls are kept in order.
WATCH_NUDGES = r"""
window.tarnwickNudges = [];
navigator.vibrate = (pattern) => (window.tarnwickNudges.push(["vibrate", pattern]), true);
navigator.setAppBadge = (count) => (window.tarnwickNudges.push(["badge", count]), Promise.resolve());
navigator.clearAppBadge = () => (window.tarnwickNudges.push(["badge", 0]), Promise.resolve());
"""

# Counts how the streamed message changes: text appended, or text taken away or rewritten.
WATCH_STREAM = r"""
const seen = window.tarnwickStream = {appended: 0, rewritten: 0};
new MutationObserver((records) => {
    for (const record of records) {
        const texts = (nodes) => [...nodes].some((node) => node.nodeType === Node.TEXT_NODE);
        if (record.type === "characterData" || texts(record.removedNodes)) seen.rewritten++;
        else if (texts(record.addedNodes)) seen.appended++;
    }
}).observe(document.querySelector(".draft"), {subtree: true, childList: true, characterData: true});
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
            self.terminal, terminal = None, self.terminal
            terminal.kill()

    def expect(self, pattern, what=None):
        return self.terminal.expect(pattern, what)

    def type(self, line):
        self.terminal.type(line)

    def screen(self):
        return self.terminal.screen if self.terminal else ""


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
        with contextlib.suppress(Exception):  # the driver may be gone; the result stands
            self.driver.quit()

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

    def press(self, element):
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
        element.click()

    def tap(self, name):
        def press():
            element = self.find(name)
            wait_for('"%s" enabled' % name, element.is_enabled, describe=self.describe)
            self.press(element)
        self.again('tap "%s"' % name, press)

    def fill(self, name, text):
        self.again('fill in "%s"' % name, lambda: self.fill_once(name, text))

    def fill_once(self, name, text):
        element = self.find(name)
        if element.tag_name.lower() == "select":
            from selenium.webdriver.support.select import Select
            choice = Select(element)
            values = [o.get_attribute("value") for o in choice.options]
            if text not in values:
                raise Failure('"%s" offers %r, not %r' % (name, values, text))
            choice.select_by_value(text)
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
        self.again('tap "%s"' % text, lambda: self.press(self.sees(text, partly=True)))

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

    def shots_of(self, screen):
        """Screenshots the screen as <screen>-<engine>-<scheme>.png, light and, where the driver
        can emulate it (not WebKitGTK's), dark."""
        if not self.shots:
            return
        self.driver.execute_script("document.activeElement && document.activeElement.blur()")
        for scheme in ("dark", "light") if self.engine == "chromium" else ("light",):
            if self.engine == "chromium":
                self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
                    {"name": "prefers-color-scheme", "value": scheme}]})
                time.sleep(0.2)  # let a colour transition settle; the picture is not asserted on
            self.driver.save_screenshot(os.path.join(
                self.shots, "%s-%s-%s.png" % (screen, self.engine, scheme)))

    def no_hostile_traces(self, where):
        from selenium.common.exceptions import NoAlertPresentException
        traces = self.driver.execute_script(HOSTILE_TRACES)
        if any(traces.values()):
            raise Failure("markup from Codex became page content %s: %r" % (where, traces))
        try:
            raise Failure("an alert opened %s: %r" % (where, self.driver.switch_to.alert.text))
        except NoAlertPresentException:
            pass


# --- what a person does, step by step ---------------------------------------------------------

class Run:
    def __init__(self, engine, bridge, root, log, shots):
        self.engine, self.bridge, self.root, self.log, self.shots = (engine, bridge, root, log,
                                                                     shots)
        self.browsers, self.cleanups = [], []

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

    def name_the_phone(self, phone, name):
        phone.device_name = name
        phone.fill("Phone name", name)
        phone.tap("Continue")

    def pair_by_code(self, phone, name):
        """First visit: name the phone, compare the codes the page and the terminal show, pair
        it from the terminal."""
        phone.open(PAGE)
        phone.find("Phone name")
        phone.shots_of("welcome")
        self.name_the_phone(phone, name)
        element = phone.find("Pairing code")
        code = wait_for("six digits as the pairing code", lambda: re.sub(
            r"\D", "", element.text or element.get_attribute("value") or ""), describe=phone.describe)
        request = self.bridge.expect(r"Pairing request (\d+) from (.*)\n\s+Code:\s+(\d{6})\n",
                                     "a pairing request")
        if (request.group(2).strip(), request.group(3)) != (name, code):
            raise Failure("the terminal shows %r, the page %r" % (request.groups(), (name, code)))
        phone.shots_of("pairing")
        self.bridge.type("pair " + request.group(1))
        phone.sees("Paired")
        self.bridge.expect(r"Paired devices: 1 trusted\n")

    def threads(self, phone):
        """The list, with hostile previews as text; a thread opens with its history."""
        for text in ("Water the tomatoes in garden.py", "Why does the ledger test fail on Mondays?",
                     "Preview " + HOSTILE, "/tmp/<b>bold</b>"):
            phone.sees(text, partly=True)
        phone.no_hostile_traces("in the thread list")
        phone.shots_of("threads")
        phone.tap_text("Water the tomatoes in garden.py")
        phone.sees("Earlier answer in thr-garden.", partly=True)
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
            asked = wait_for("thread/start at the fake",
                             lambda: self.log.requests("thread/start")[before:])[0]
            if (asked.get("cwd"), asked.get("approvalPolicy"), asked.get("model")) != \
                    (folder, policy, "gpt-fake"):
                raise Failure("thread/start asked for %r" % asked)

    def ceiling(self, phone, home):
        """The form offers the computer's ceiling (the bridge's default: its folder, no "never";
        what it allows is the node test's), and a folder typed past it is refused on screen,
        in the bridge's words, before Codex hears of it."""
        phone.tap("New thread")
        phone.find(home)
        if "never" in phone.script("return [...arguments[0].options].map((o) => o.value)",
                                   phone.find("Approval policy")):
            raise Failure("the form offers approvals off, which the ceiling does not allow")
        before = len(self.log.requests("thread/start"))
        phone.fill("Working folder", "/")
        phone.tap("Start")
        phone.sees("This computer lets devices work only in " + home, partly=True)
        if len(self.log.requests("thread/start")) != before:
            raise Failure("a folder outside the ceiling reached Codex")
        phone.tap("New thread")

    def send(self, phone, text):
        phone.fill("Message", text)
        phone.tap("Send")

    def stream(self, phone):
        """The answer streams in as appended text, never set again as a whole, and its
        hostile HTML stays text."""
        phone.script(WATCH_STREAM)
        self.send(phone, "Say hello")
        phone.sees("Streaming reply from the fake Codex. " + HOSTILE + " That is all.")
        seen = phone.script("return window.tarnwickStream")
        if seen["rewritten"] or seen["appended"] < 2:
            raise Failure("the streamed message changed so: %r" % seen)
        phone.no_hostile_traces("in a streamed answer")
        phone.shots_of("thread")

    def stop_a_turn(self, phone):
        self.send(phone, "Count long")
        phone.sees("Counting 3.", partly=True)
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

    def approval(self, phone):
        """A card with Codex's command and reason as text, counted in the title and the badge
        with a buzz; Approve reaches Codex, the output opens from its size, the card goes."""
        phone.script(WATCH_NUDGES)
        before = self.ask(phone)
        phone.find("Decline")
        phone.sees("Waiting for", partly=True)
        self.nudged(phone, "(1) Tarnwick Bridge", [["vibrate", 200], ["badge", 1]])
        phone.sees("date >> noted.txt", partly=True)
        phone.sees("To note the time " + HOSTILE, partly=True)
        phone.no_hostile_traces("on the approval card")
        phone.shots_of("approval")
        self.approved_at_codex(phone, before)
        phone.sees("The command ran.", partly=True)
        phone.tap_text("Output · %d B" % len("noted\n%s\n" % HOSTILE))
        phone.sees("noted " + HOSTILE, partly=True)
        self.nudged(phone, "Tarnwick Bridge", [["badge", 0]])
        phone.no_hostile_traces("after the approval")

    def ask(self, phone):
        """Has the fake ask to run a command, and gives how many answers it had before."""
        before = len(self.log.answers())
        self.send(phone, "Please approve a command")
        phone.find("Approve")
        return before

    @staticmethod
    def nudged(phone, title, nudges):
        """The page's title counts the open questions, and the last nudges are `nudges`."""
        wait_for("the title %r and the nudges %r" % (title, nudges), lambda: phone.script(
            "return document.title === arguments[0] && JSON.stringify("
            "window.tarnwickNudges.slice(-arguments[1].length)) === JSON.stringify(arguments[1])",
            title, nudges), describe=lambda: "the title was %r, the nudges %r" % tuple(
                phone.script("return [document.title, window.tarnwickNudges]")))

    def approved_at_codex(self, phone, before):
        """Taps Approve: Codex gets exactly that answer, and the card goes with the note that
        says who approved it."""
        phone.tap("Approve")
        answers = wait_for("the approval at the fake", lambda: self.log.answers()[before:],
                           describe=phone.describe)
        if answers != [{"decision": "accept"}]:
            raise Failure("Approve answered %r" % answers)
        phone.sees("Approved on " + phone.device_name)
        wait_for("the card to go", lambda: phone.absent("Approve"), describe=phone.describe)

    def drop_connections(self):
        """Cuts every TCP connection to the bridge, as a phone's lost network does."""
        subprocess.run(["ss", "-K", "-t", "state", "established", "(", "sport", "=",
                        ":%d" % PORT, ")"], check=True, stdout=subprocess.DEVNULL)

    def approval_survives(self, phone):
        """An open card comes back after a reload, once, with its thread by name, and stays
        through a dropped connection; Approve then still reaches Codex, and no stale error
        stays behind."""
        before = self.ask(phone)
        phone.driver.refresh()
        phone.tap("Say hello")
        phone.find("Message")
        if phone.count("Codex asks to run a command") != 1:
            raise Failure("the card was shown %d times" % phone.count("Codex asks to run a command"))
        self.approved_at_codex(phone, before)

        before = self.ask(phone)
        self.drop_connections()
        wait_for("the page to notice the dropped connection",
                 lambda: not phone.shows("Paired"), describe=phone.describe)
        phone.sees("Codex asks to run a command")
        phone.sees("Paired")
        self.approved_at_codex(phone, before)
        if phone.shows("Not connected to the computer.", partly=True):
            raise Failure("a stale connection error stayed in the thread")

    def reconnect(self, phone):
        """The bridge goes away and comes back with the same home: Send is disabled while it is
        not reachable, and the phone is paired again without a new request."""
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

    def pair_by_qr(self):
        """The address from `phone` pairs, and its secret leaves the address bar. (A refused
        secret is the controller test's, and the way back to a code the stage test's.) A device
        forgotten on the computer says so at once."""
        self.bridge.type("phone")
        url = self.bridge.expect(r"Open (https://\S+/#pair=[A-Za-z0-9_-]+) on the phone, or scan "
                                 r"the code\.", "the phone command's address").group(1)
        if not url.startswith("https://127.0.0.1:%d/#pair=" % PORT):
            raise Failure("the phone command gave %r" % url)
        laptop = self.browser("laptop")
        laptop.open(url)
        self.name_the_phone(laptop, "QR Laptop")
        laptop.sees("Paired")
        self.bridge.expect(r"Paired QR Laptop by QR code\.")
        if "#pair" in laptop.driver.current_url:
            raise Failure("the secret stayed in the address: %s" % laptop.driver.current_url)
        # Forgotten on the computer: the page says so at once, and offers pairing again.
        self.bridge.type("devices")
        listed = self.bridge.expect(r"(\d+)\. \W{0,3}QR Laptop", "the laptop in the devices list")
        self.bridge.type("forget " + listed.group(1))
        laptop.sees("This phone was forgotten by the computer. Pair it again.")
        laptop.find("Pair with a code")
        laptop.quit()


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


@contextlib.contextmanager
def rig(bridge_path, engine, shots, what):
    """A temporary home with the fake Codex, a bridge on it and the browsers of one run. All
    of it is closed on the way out, and nothing may stay running under the home."""
    with tempfile.TemporaryDirectory(prefix="tarnwick-web-") as root:
        env, log = fake_codex_environment(root)
        bridge = Bridge(bridge_path, env)
        run = Run(engine, bridge, root, log, shots)
        try:
            yield run
            bridge.stop()
        except Exception as failure:  # noqa: BLE001 - a driver's error fails the test too
            raise failed(failure, run, bridge)
        finally:
            run.close()
            bridge.kill()
            for cleanup in run.cleanups:
                cleanup()
        expect_nothing_left(root, what)


def run_fake(bridge_path, engine, shots):
    with rig(bridge_path, engine, shots, "the browser test") as run:
        run.bridge.start()
        phone = run.browser("phone", shots=True)
        run.pair_by_code(phone, "Test Phone")
        run.threads(phone)
        home = os.path.join(run.root, "home")
        os.makedirs(os.path.join(home, "garden"))
        run.ceiling(phone, home)
        run.new_thread(phone, os.path.join(home, "garden"), "on-request")
        run.stream(phone)
        run.stop_a_turn(phone)
        run.approval(phone)
        run.approval_survives(phone)
        run.reconnect(phone)
        run.pair_by_qr()


def run_real_codex(bridge_path, codex, stand_in):
    """One pass with the real Codex CLI against the model stand-in: a question asked while the
    page was closed waits for it, and approving it then runs the command. (Cancelling with only
    the decisions Codex offered is the device's end-to-end test and the node test's.)"""
    with rig(bridge_path, "chromium", None, "the real Codex browser test") as run:
        root, env = run.root, run.bridge.env
        os.remove(os.path.join(root, "bin", "codex"))
        os.symlink(os.path.abspath(codex), os.path.join(root, "bin", "codex"))
        run.log = FakeCodexLog("")
        work = os.path.join(root, "home", "work")
        os.makedirs(work)
        model = subprocess.Popen(
            [stand_in, "--command", "echo ran >> ran.txt", "--reason", "To note that the turn "
             "ran.", "--reply", "Done.", "--log", os.path.join(root, "model-requests.jsonl"),
             "--write-codex-config", os.path.join(root, "codex-home")],
            stdout=subprocess.PIPE, text=True)
        run.cleanups.append(lambda: (model.kill(), model.wait()))
        notified = os.path.join(root, "notified.jsonl")
        notify = os.path.join(root, "bin", "notify")
        with open(notify, "w") as script:
            script.write("#!/bin/sh\ncat >> %s\necho >> %s\n" % (notified, notified))
        os.chmod(notify, 0o755)
        read = lambda path: open(path).read() if os.path.exists(path) else ""  # noqa: E731
        run.bridge.options = ["--notify-command=" + notify]
        listening = model.stdout.readline()
        if not listening.startswith("Listening on "):
            raise Failure("the model stand-in did not start: %r" % listening)
        url = listening.split()[2].split("/v1")[0]
        env.update(CODEX_HOME=os.path.join(root, "codex-home"), NO_PROXY="127.0.0.1,localhost",
                   no_proxy="127.0.0.1,localhost")
        for proxy in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy",
                      "all_proxy"):
            env[proxy] = url
        run.bridge.start()
        phone = run.browser("phone")
        run.pair_by_code(phone, "Real Phone")
        phone.find("New thread")
        run.new_thread(phone, work, "untrusted")
        ran = os.path.join(work, "ran.txt")
        runs = lambda: open(ran).read().count("ran\n") if os.path.exists(ran) else 0  # noqa

        # The page goes before Codex asks; the question waits for it (the notify command says
        # when it started waiting with no device there), and the page opened again shows it.
        run.send(phone, "Please note that you ran.")
        phone.open("about:blank")
        wait_for("the question to wait with no device connected",
                 lambda: "question-waiting" in read(notified), TIMEOUT * 4)
        phone.open(PAGE)
        phone.tap_text("Please note that you ran.")
        phone.find("Approve", timeout=TIMEOUT * 4)
        phone.sees("echo ran >> ran.txt", partly=True)
        if runs():
            raise Failure("the command ran before it was approved")
        phone.tap("Approve")
        wait_for("the approved command to run", lambda: runs() == 1, TIMEOUT * 4, phone.describe)
        wait_for("the answer after the command", lambda: phone.count("Done.") >= 1,
                 TIMEOUT * 4, phone.describe)


# --- a phone that verifies the computer -------------------------------------------------------

VERIFIED = "This phone verifies the computer"
NOT_VERIFIED = "Not verified: a certificate warning on this page could be someone in between"
TRUST_STEP = "Trust this computer on this phone"


def openssl(*arguments, data=None):
    return subprocess.run(["openssl", *arguments], input=data, capture_output=True,
                          check=True).stdout


def fetch(path):
    """GETs `path` from the bridge: status, headers and body. Unverified: what it gives is
    checked by its fingerprint."""
    import http.client
    import ssl
    context = ssl._create_unverified_context()  # noqa: S323
    connection = http.client.HTTPSConnection("127.0.0.1", PORT, timeout=TIMEOUT, context=context)
    try:
        connection.request("GET", path)
        answer = connection.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()
    finally:
        connection.close()


class TlsServer:
    """A TLS server of someone else's on an ephemeral loopback port, with a page of its own.
    Whether it would pass the connection on to the bridge (a relay) is beside the point: a
    browser that refuses its certificate sends it nothing."""

    def __init__(self, certificate, key):
        import socket
        import ssl
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certificate, key)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.requests = 0  # requests read after a completed TLS handshake
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                plain, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(plain,), daemon=True).start()

    def serve(self, plain):
        import ssl
        body = b"<!doctype html><title>forged</title><p>forged page</p>"
        try:
            with self.context.wrap_socket(plain, server_side=True) as tls:
                if tls.recv(65536):
                    self.requests += 1
                tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                            b"Connection: close\r\n\r\n" % len(body) + body)
        except (OSError, ssl.SSLError):
            pass

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
    """The authority in the forms phones take, as phones read them; gives its DER bytes."""
    import plistlib
    status, headers, der = fetch("/trust/tarnwick-bridge-ca.crt")
    if status != 200 or headers.get("Content-Type") != "application/x-x509-ca-cert":
        raise Failure("the certificate download: %s %r" % (status, headers))
    shown = openssl("x509", "-inform", "DER", "-noout", "-fingerprint", "-sha256", data=der)
    if shown.decode().strip().split("=", 1)[1] != fingerprint:
        raise Failure("the download is %r, the computer shows %s" % (shown, fingerprint))
    status, headers, profile = fetch("/trust/tarnwick-bridge-ca.mobileconfig")
    if status != 200 or headers.get("Content-Type") != "application/x-apple-aspen-config":
        raise Failure("the profile download: %s %r" % (status, headers))
    parsed = plistlib.loads(profile)
    payloads = parsed["PayloadContent"]
    if parsed["PayloadType"] != "Configuration" or len(payloads) != 1 or \
            payloads[0]["PayloadType"] != "com.apple.security.root" or \
            payloads[0]["PayloadContent"] != der:
        raise Failure("the profile is not one root payload of the authority: %r" % parsed)
    return der


def self_signed(root, name):
    """A certificate of its own for 127.0.0.1, as anyone can make one: its file and its key's."""
    key, certificate = (os.path.join(root, name + suffix) for suffix in (".key", ".crt"))
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-out", certificate, "-days", "7", "-subj", "/CN=127.0.0.1",
            "-addext", "subjectAltName=IP:127.0.0.1")
    return certificate, key


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
    with rig(bridge_path, "chromium", shots, "the trust test") as run:
        root, bridge, log, servers = run.root, run.bridge, run.log, []
        run.cleanups.append(lambda: [server.close() for server in servers])
        bridge.start()
        bridge.type("phone")
        fingerprint = bridge.expect(
            r"it must be ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})\.", "the authority's fingerprint"
        ).group(1)
        der = check_downloads(root, fingerprint)

        # Before: the person clicked through the warning, and the page says so.
        clicked = run.browser("clicked-through", shots=True, verify=True)
        click_through(clicked, PAGE)
        clicked.sees(NOT_VERIFIED)
        clicked.tap(TRUST_STEP)
        clicked.sees("iPhone or iPad (Safari)")
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
        relay = TlsServer(*self_signed(root, "relay"))
        servers.append(relay)
        if not refused_by(phone, "https://127.0.0.1:%d/" % relay.port) or relay.requests:
            raise Failure("the browser took the relay's certificate")

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
    for absent, why in (
            (os.environ.get("TARNWICK_IN_PRIVATE_NETWORK") != "1",
             "run me inside tests/link/run-in-private-network.sh"),
            (not engine_installed(arguments.engine), "%s is not installed" % arguments.engine),
            (arguments.trust and not shutil.which("certutil"),
             "certutil (libnss3-tools) is not installed"),
            (importlib.util.find_spec("selenium") is None, "python3-selenium is not installed")):
        if absent:
            print("SKIPPED: " + why)
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
                           arguments.model_stand_in)
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
