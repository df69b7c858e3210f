#!/usr/bin/python3
"""How quick the phone's page is on long threads, long outputs and long streams.

Starts the assembled bridge (`tarnwick-bridge --terminal`, temporary home) with the browser
tests' stand-in for Codex and its long content (page_bench_codex.py), pairs a real browser
engine through WebDriver at a phone's 390x844, and measures, by the page's own clock:

  - a thread of --turns turns opened from the list: the frame after its first turns are in the
    page, after its latest turn is, and after its first turn is (when the page shows it without
    being asked);
  - a command output of --output-kib KiB in --delta-kib KiB deltas: "Send" to its last delta in
    the page (to the page's last change when the page keeps the output collapsed), and opening
    the output to its text painted;
  - an agent message of --deltas deltas: "Send" to the last delta painted;
  - the longest main-thread task meanwhile: Long Tasks where the engine has them (Chromium;
    it reports only tasks over 50 ms), and in every engine the longest gap between two
    animation frames;
  - the JavaScript heap after each, collected first (Chromium's performance.memory);
  - visible -> authorised: the page is hidden (document.visibilityState and a visibilitychange
    event), the bridge's side of its connection is cut, and once the page noticed it becomes
    visible again: the time to an authorised session, and to the open thread re-read and
    painted, for a short thread and the long one.

The page's performance marks ("tarnwick:stage:<stage>", "tarnwick:thread-shown") are used where
it makes them; a page without them is measured from its DOM. Each figure is the median of --runs
runs (the page reloaded for each); the load average is printed beside them. A benchmark: it
prints and never judges the figures.

Runs inside tests/link/run-in-private-network.sh (the bridge listens on its own port there).
Exits 77 when no engine is installed.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
import page_bench_codex as content  # noqa: E402
import web_test as web  # noqa: E402
from web_test import Failure  # noqa: E402

SKIPPED = 77
WAIT = 180.0  # for one measured step: an old page on a loaded machine can be very slow

# Installed once in each loaded page: the engine's long tasks, the page's marks as it makes
# them, and watchers that note, by the page's clock, when given texts enter the page.
PROBE = r"""
if (window.tarnwickBench) return window.tarnwickBench.longTaskApi;
const now = () => performance.now();
const bench = window.tarnwickBench = {longTasks: [], longTaskApi: false, marks: [], frames: []};
if ((PerformanceObserver.supportedEntryTypes || []).includes("longtask")) {
    new PerformanceObserver((list) => {
        for (const entry of list.getEntries()) bench.longTasks.push([entry.startTime, entry.duration]);
    }).observe({type: "longtask", buffered: true});
    bench.longTaskApi = true;
}
const mark = performance.mark.bind(performance);
performance.mark = (...args) => {
    const entry = mark(...args);
    const at = entry && typeof entry.startTime === "number" ? entry.startTime : now();
    bench.marks.push([String(args[0]), at]);
    if (bench.onMark) bench.onMark();
    return entry;
};
bench.pageMarks = () => bench.marks.some(([name]) => name.startsWith("tarnwick:")) ||
    performance.getEntriesByType("mark").some((entry) => entry.name.startsWith("tarnwick:"));
// The moment after the next frame was painted.
bench.afterPaint = (done) => requestAnimationFrame(() => {
    const channel = new MessageChannel();
    channel.port1.onmessage = () => done(now());
    channel.port2.postMessage(null);
});
bench.frameLoop = () => {
    const loop = {on: true, times: []};
    const tick = (time) => {
        if (!loop.on) return;
        loop.times.push(time);
        requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
    return loop;
};
bench.longest = (from, to) => Math.max(0, ...bench.longTasks
    .filter(([start, duration]) => start + duration >= from && start <= to).map(([, d]) => d));
bench.gap = (times, from, to) => {
    let longest = 0;
    for (let i = 1; i < times.length; i++) {
        if (times[i] >= from && times[i - 1] <= to) longest = Math.max(longest, times[i] - times[i - 1]);
    }
    return longest;
};
const holds = (node, text) => node.nodeType === Node.TEXT_NODE ? node.data.slice(-256).includes(text) :
    node.nodeType === Node.ELEMENT_NODE && node.textContent.includes(text);

// From the next `start` event on (or now): when each marker's text first entered the page, and
// the frame after; the time of the page's last change.
bench.watch = (start, markers) => {
    if (bench.state) bench.state.stop();
    const state = bench.state = {startedAt: null, seen: {}, shown: {}, lastChange: null, loop: null,
                                 progress: 0};
    const begin = () => { state.startedAt = now(); state.loop = bench.frameLoop(); };
    if (start) addEventListener(start, begin, {capture: true, once: true}); else begin();
    const observer = new MutationObserver((records) => {
        if (state.startedAt === null) return;
        const at = now();
        state.lastChange = at;
        // How far a stream of "wordN " deltas came, for a page that does not finish it.
        for (const record of records) {
            for (const node of record.type === "characterData" ? [record.target] : record.addedNodes) {
                const count = node.nodeType === Node.TEXT_NODE && /word(\d+) $/.exec(node.data.slice(-24));
                if (count) state.progress = Math.max(state.progress, Number(count[1]));
            }
        }
        for (const [name, text] of markers) {
            if (name in state.seen) continue;
            const found = records.some((record) => (record.type === "characterData" ?
                [record.target] : [...record.addedNodes]).some((node) => holds(node, text)));
            if (found) {
                state.seen[name] = at;
                bench.afterPaint((time) => { state.shown[name] = time; });
            }
        }
    });
    observer.observe(document.body, {subtree: true, childList: true, characterData: true});
    state.stop = () => { observer.disconnect(); if (state.loop) state.loop.on = false; };
};
bench.report = (to) => {
    const state = bench.state, end = to ?? now();
    return {startedAt: state.startedAt, seen: state.seen, shown: state.shown,
            lastChange: state.lastChange, progress: state.progress,
            longest: bench.longest(state.startedAt, end),
            gap: state.loop ? bench.gap(state.loop.times, state.startedAt, end) : null};
};

// Opening a collapsed output: from the click on its summary to the frame after its text shows.
bench.watchOpen = (details, text) => {
    const state = bench.opening = {clickedAt: null, seenAt: null, shownAt: null, loop: null};
    details.addEventListener("click", () => {
        state.clickedAt = now();
        state.loop = bench.frameLoop();
    }, {capture: true, once: true});
    const shows = () => details.open && [...details.children].some((child) => child.tagName !== "SUMMARY" &&
        child.getBoundingClientRect().height > 0 && child.textContent.includes(text));
    const check = () => {
        if (state.clickedAt !== null && shows()) {
            state.seenAt = now();
            bench.afterPaint((time) => {
                state.shownAt = time;
                state.loop.on = false;
                state.longest = bench.longest(state.clickedAt, time);
                state.gap = bench.gap(state.loop.times, state.clickedAt, time);
            });
            return;
        }
        requestAnimationFrame(check);
    };
    requestAnimationFrame(check);
};

// The page goes hidden; once it noticed its connection is gone it becomes visible again, and
// the times to an authorised session and to the open thread re-read (`latest` in the page
// again, or the page's mark) are noted.
bench.away = (latest) => {
    const marks = bench.pageMarks();
    const state = bench.awayState = {armedAt: now(), lostAt: null, authorisedAt: null,
                                     rereadAt: null, shownAt: null, how: marks ? "marks" : "dom"};
    const visibility = (value) => {
        if (value === null) {
            delete document.visibilityState;
            delete document.hidden;
        } else {
            Object.defineProperty(document, "visibilityState", {configurable: true, get: () => value});
            Object.defineProperty(document, "hidden", {configurable: true, get: () => value === "hidden"});
        }
        document.dispatchEvent(new Event("visibilitychange"));
    };
    const banner = () => (document.getElementById("banner")?.textContent ?? "").trim();
    const markAfter = (wanted, after) => bench.marks.find(([name, at]) => wanted(name) && at > after);
    const step = (records) => {
        if (state.lostAt === null) {
            const lost = marks ? markAfter((name) => name.startsWith("tarnwick:stage:") &&
                name !== "tarnwick:stage:paired", state.armedAt) : banner() !== "Paired";
            if (!lost) return;
            state.lostAt = now();
            visibility(null);
        }
        if (state.authorisedAt === null) {
            if (marks) {
                const paired = markAfter((name) => name === "tarnwick:stage:paired", state.lostAt);
                if (paired) state.authorisedAt = paired[1];
            } else if (banner() === "Paired") {
                state.authorisedAt = now();
            }
            if (state.authorisedAt === null) return;
        }
        if (state.rereadAt === null) {
            const shown = markAfter((name) => name === "tarnwick:thread-shown", state.authorisedAt);
            if (shown) {
                state.rereadAt = shown[1];
            } else if (records && records.some((record) => [...record.addedNodes].some((node) => holds(node, latest)))) {
                state.rereadAt = now();
            } else {
                return;
            }
            stop();
            bench.afterPaint((time) => { state.shownAt = time; });
        }
    };
    const observer = new MutationObserver((records) => step(records));
    observer.observe(document.body, {subtree: true, childList: true, characterData: true});
    const timer = setInterval(() => step(null), 10);
    bench.onMark = () => step(null);
    const stop = () => { observer.disconnect(); clearInterval(timer); bench.onMark = null; };
    visibility("hidden");
};
return bench.longTaskApi;
"""

OUTPUT_DETAILS = r"""
const all = [...document.querySelectorAll("details.command-output")];
const details = all.length ? all : [...document.querySelectorAll("details")].filter((d) =>
    (d.querySelector("summary")?.textContent ?? "").trim().startsWith("Output"));
return details.length ? details[details.length - 1] : null;
"""


class Rows:
    """The figures of every run, by measurement and engine."""

    def __init__(self):
        self.order, self.units, self.values = [], {}, {}

    def add(self, key, unit, engine, value):
        if key not in self.units:
            self.order.append(key)
            self.units[key] = unit
        self.values.setdefault((key, engine), []).append(value)
        shown = "%.1f" % value if isinstance(value, float) else str(value)
        print("measured (%s): %s: %s %s" % (engine, key, shown, unit), flush=True)

    def cell(self, key, engine):
        values = self.values.get((key, engine))
        if not values:
            return "-"
        numbers = [v for v in values if isinstance(v, (int, float))]
        if len(numbers) != len(values):
            return next(v for v in values if not isinstance(v, (int, float)))
        median = statistics.median(numbers)
        if self.units[key] == "MiB":
            return "%.1f MiB" % median
        if key.endswith("(Long Tasks)") and median == 0:
            return "none > 50 ms"
        return "%.0f ms" % median

    def print(self, engines):
        names = {"chromium": "Chromium", "webkit": "WebKit"}
        width = max(len(key) for key in self.order) if self.order else 20
        print()
        print("| %-*s | %s |" % (width, "measurement (median)", " | ".join(
            "%-16s" % names[e] for e in engines)))
        print("|-%s-|%s|" % ("-" * width, "|".join("-" * 18 for _ in engines)))
        for key in self.order:
            print("| %-*s | %s |" % (width, key, " | ".join(
                "%-16s" % self.cell(key, e) for e in engines)))
        print(flush=True)


class Bench:
    def __init__(self, engine, bridge, run, log, sizes, rows):
        self.engine, self.bridge, self.run, self.log = engine, bridge, run, log
        self.sizes, self.rows, self.phone = sizes, rows, None
        self.long_tasks = False
        self.slow = set()  # figures that took too long once, left out of the later runs
        turns, output = sizes.turns, sizes.output_kib
        self.thread_words = "%d-turn thread" % turns
        self.output_words = "%s output in %d KiB deltas" % (
            "%d MiB" % (output // 1024) if output % 1024 == 0 else "%d KiB" % output,
            sizes.delta_kib)
        self.message_words = "%s-delta message" % format(sizes.deltas, ",")

    def add(self, key, unit, value):
        self.rows.add(key, unit, self.engine, value)

    def until(self, what, probe, timeout=WAIT, describe=True):
        """Polls `probe` (keeping the bridge's terminal read) until it gives something."""
        deadline = time.monotonic() + timeout
        while True:
            value = probe()
            if value:
                return value
            if time.monotonic() > deadline:
                raise Failure("never saw %s%s" % (what, "\n" + self.phone.describe()
                                                  if describe else ""))
            self.bridge.terminal.pump(0.05)

    def script(self, source, *arguments):
        return self.phone.driver.execute_script(source, *arguments)

    def load(self):
        """The page opened afresh, paired, on the thread list."""
        self.phone.open(web.PAGE)
        self.phone.sees(content.long_thread_preview(self.sizes.turns), partly=True)
        self.long_tasks = self.script(PROBE)

    def heap(self, what):
        if self.engine != "chromium":
            self.add("JS heap " + what, "MiB", "n/a")
            return
        self.phone.driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
        used = self.script("return performance.memory ? performance.memory.usedJSHeapSize : null")
        self.add("JS heap " + what, "MiB", used / 1048576 if used is not None else "n/a")

    def tasks(self, what, report):
        self.add(what + ": longest task (Long Tasks)", "ms",
                 report["longest"] if self.long_tasks else "n/a")
        self.add(what + ": longest frame gap (rAF)", "ms", report["gap"])

    def report(self, to=None):
        time.sleep(0.3)  # the engine hands long tasks to their observer late
        return self.script("return window.tarnwickBench.report(arguments[0])", to)

    # --- the long thread ---

    def long_thread(self):
        preview = content.long_thread_preview(self.sizes.turns)
        self.script("window.tarnwickBench.watch('click', arguments[0])",
                    [["first", content.TURN_WORDS], ["latest", content.LATEST_TURN],
                     ["all", content.FIRST_TURN]])
        self.phone.tap_text(preview)
        state = self.until("the long thread's latest turn", lambda: self.script(
            "const s = window.tarnwickBench.state; return 'latest' in s.shown && s"))
        end = state["shown"]["latest"]
        try:  # the whole thread, when the page shows it without being asked
            self.until("the long thread's first turn", lambda: self.script(
                "return 'all' in window.tarnwickBench.state.shown"), timeout=2, describe=False)
        except Failure:
            pass
        report = self.report(end)
        started = report["startedAt"]
        what = self.thread_words
        self.add(what + ": tap -> first turns painted", "ms", report["shown"]["first"] - started)
        self.add(what + ": tap -> latest turn painted", "ms", end - started)
        self.add(what + ": tap -> whole thread painted", "ms",
                 report["shown"]["all"] - started if "all" in report["shown"] else "on demand")
        self.tasks(what + " opened", report)
        self.script("window.tarnwickBench.state.stop()")
        self.heap("with the %s open" % self.thread_words)

    # --- visible again ---

    def wake(self, latest, which):
        self.script("window.tarnwickBench.away(arguments[0])", latest)
        self.run.drop_connections()
        state = self.until("the page authorised with its thread re-read after it was visible again",
                           lambda: self.script("const s = window.tarnwickBench.awayState;"
                                               "return s.shownAt !== null && s"))
        self.add("visible -> authorised (%s open)" % which, "ms",
                 state["authorisedAt"] - state["lostAt"])
        self.add("visible -> thread re-read painted (%s open)" % which, "ms",
                 state["shownAt"] - state["lostAt"])

    # --- streams ---

    def send(self, text, markers):
        self.phone.fill("Message", text)
        self.script("window.tarnwickBench.watch('submit', arguments[0])", markers)
        finished = len([m for m in self.log.messages() if "finished" in m])
        self.phone.tap("Send")
        return finished

    def fake_finished(self, before):
        self.until("the fake to send the whole turn", lambda: len(
            [m for m in self.log.messages() if "finished" in m]) > before)

    def long_output(self):
        what = self.output_words
        before = self.send("Run the bench output", [["end", content.OUTPUT_END]])
        self.fake_finished(before)
        # Done when the end is in the page, or, for an output kept collapsed, when the page has
        # not changed for a second.
        state = self.until("the output's end or a settled page", lambda: self.script(
            "const s = window.tarnwickBench.state; const t = performance.now();"
            "return ('end' in s.shown || (s.lastChange !== null && t - s.lastChange > 1000)) && s"))
        if "end" in state["shown"]:
            end, how = state["shown"]["end"], ""
        else:
            end, how = state["lastChange"], " (collapsed: last change)"
        report = self.report(end)
        self.add(what + ": Send -> last delta shown", "ms", end - report["startedAt"])
        if how:
            print("note (%s): %s" % (self.engine, how.strip(" ()")), flush=True)
        self.tasks(what + " streaming", report)
        self.script("window.tarnwickBench.state.stop()")
        self.heap("after the %s" % what)

        details = self.until("the output's summary", lambda: self.script(OUTPUT_DETAILS))
        if self.script("return arguments[0].open", details):
            self.add(what.split(" in ")[0] + ": open -> text painted", "ms", "open already")
            return
        self.script("window.tarnwickBench.watchOpen(arguments[0], 'the quick brown fox')", details)
        summary = self.script("return arguments[0].querySelector('summary')", details)
        self.script("arguments[0].scrollIntoView({block: 'center'})", summary)
        summary.click()
        state = self.until("the output's text", lambda: self.script(
            "const s = window.tarnwickBench.opening; return s.shownAt !== null && s"))
        self.add(what.split(" in ")[0] + ": open -> text painted", "ms",
                 state["shownAt"] - state["clickedAt"])
        self.add(what.split(" in ")[0] + " opened: longest task (Long Tasks)", "ms",
                 state["longest"] if self.long_tasks else "n/a")

    def long_message(self):
        what = self.message_words
        key = what + ": Send -> last delta painted"
        if key in self.slow:
            return
        before = self.send("Stream the bench message", [["end", content.MESSAGE_END]])
        seen = {}

        def done():
            from selenium.common.exceptions import TimeoutException
            try:
                report = self.script("const s = window.tarnwickBench.state;"
                                     "return 'end' in s.shown ? s : window.tarnwickBench.report()")
            except TimeoutException:  # the page was too busy to answer in time
                return None
            if "end" in report["shown"]:
                return report
            seen.update(report)
            return None
        try:
            state = self.until("the message's last delta", done, self.sizes.stream_wait,
                               describe=False)
        except Failure:
            # Not done in time: how far it had come and what the page's main thread went through
            # until then, by the last look at the page (one this busy may not answer again).
            # The rest of the stream is cut off at the bridge, and the later runs leave it out.
            self.add(key, "ms", "> %d s (%s)" % (self.sizes.stream_wait, "%s of %s deltas" % (
                format(seen["progress"], ","), format(self.sizes.deltas, ",")) if seen else
                "the page never answered WebDriver"))
            if seen:
                self.tasks(what + " streaming", seen)
            self.run.drop_connections()
            self.slow.add(key)
            return False
        end = state["shown"]["end"]
        report = self.report(end)
        self.add(key, "ms", end - report["startedAt"])
        self.tasks(what + " streaming", report)
        self.script("window.tarnwickBench.state.stop()")
        self.fake_finished(before)
        self.heap("after the " + what)
        return True

    def open_short_thread(self):
        self.phone.tap_text(content.SHORT_THREAD)
        self.phone.sees("Earlier answer in thr-bench-short.", partly=True)
        self.phone.find("Message")

    def one_run(self):
        only = self.sizes.only
        if only in (None, "thread"):
            self.load()
            self.long_thread()
            self.wake(content.LATEST_TURN, self.thread_words)
        if only in (None, "output"):
            self.load()
            self.open_short_thread()
            self.wake("Earlier answer in thr-bench-short.", "1-turn thread")
            self.phone.sees("Paired")
            self.long_output()

    def message_run(self):
        """False once the page could not finish the message in time: it may be too busy for
        anything else."""
        if self.sizes.only not in (None, "message"):
            return True
        self.load()
        self.open_short_thread()
        return self.long_message()


def bench_codex_environment(root, sizes):
    env = web.environment(root)
    log = os.path.join(root, "codex-log.jsonl")
    folder = os.path.join(root, "home", "garden")  # within the bridge's default ceiling
    os.makedirs(folder)
    with open(os.path.join(root, "bin", "codex"), "w") as codex:
        codex.write("#!/bin/sh\nexec /usr/bin/python3 %s --log %s --cwd %s --turns %d "
                    "--output-kib %d --delta-kib %d --deltas %d \"$@\"\n" % (
                        os.path.join(HERE, "page_bench_codex.py"), log, folder, sizes.turns,
                        sizes.output_kib, sizes.delta_kib, sizes.deltas))
    return env, web.FakeCodexLog(log)


def bench_engine(bridge_path, engine, sizes, rows):
    with tempfile.TemporaryDirectory(prefix="tarnwick-page-bench-") as root:
        env, log = bench_codex_environment(root, sizes)
        bridge = web.Bridge(bridge_path, env)
        run = web.Run(engine, bridge, root, log, None)
        try:
            bridge.start()
            phone = run.browser("phone", arguments=("--enable-precise-memory-info",))
            run.pair_by_code(phone, "Bench Phone")
            bench = Bench(engine, bridge, run, log, sizes, rows)
            bench.phone = phone
            for number in range(sizes.runs):
                print("run %d of %d in %s, load average %s" % (
                    number + 1, sizes.runs, engine, load_average()), flush=True)
                bench.one_run()
            # The message last: a page that cannot keep up with it is of no use afterwards.
            for number in range(sizes.runs if sizes.only in (None, "message") else 0):
                print("message run %d of %d in %s, load average %s" % (
                    number + 1, sizes.runs, engine, load_average()), flush=True)
                if not bench.message_run():
                    break
            else:
                bridge.stop()
        except Exception as failure:  # noqa: BLE001 - a driver's error ends the engine's runs
            raise web.failed(failure, run, bridge)
        finally:
            run.close()
            bridge.kill()
        web.expect_nothing_left(root, "the page benchmark")


def load_average():
    return " ".join("%.2f" % value for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--engine", choices=("chromium", "webkit", "both"), default="both")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--turns", type=int, default=300)
    parser.add_argument("--output-kib", type=int, default=1024)
    parser.add_argument("--delta-kib", type=int, default=8)
    parser.add_argument("--deltas", type=int, default=10000)
    parser.add_argument("--only", choices=("thread", "output", "message"),
                        help="one part: the long thread (and visible again with it open), the "
                        "short thread visible again and the long output, or the long message")
    parser.add_argument("--stream-wait", type=int, default=300,
                        help="seconds the message may take before it counts as not shown")
    arguments = parser.parse_args()
    if os.environ.get("TARNWICK_IN_PRIVATE_NETWORK") != "1":
        print("SKIPPED: run me inside tests/link/run-in-private-network.sh")
        return SKIPPED
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("SKIPPED: python3-selenium is not installed")
        return SKIPPED
    engines = [e for e in (("chromium", "webkit") if arguments.engine == "both"
                           else (arguments.engine,)) if web.engine_installed(e)]
    if not engines:
        print("SKIPPED: no browser engine is installed")
        return SKIPPED
    # A page too busy to answer fails the run rather than hanging it.
    from selenium.webdriver.remote.remote_connection import RemoteConnection
    RemoteConnection.set_timeout(WAIT + 60)
    rows = Rows()
    print("load average before: %s (%d cores)" % (load_average(), os.cpu_count()), flush=True)
    with tempfile.TemporaryDirectory(prefix="tarnwick-page-bench-browsers-") as home:
        # The browsers and their drivers keep their caches and settings here.
        for name, folder in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"),
                             ("XDG_DATA_HOME", "data"), ("XDG_CACHE_HOME", "cache")):
            os.makedirs(os.path.join(home, folder))
            os.environ[name] = os.path.join(home, folder)
        for engine in engines:
            display = None
            try:
                if engine == "webkit":
                    display = web.Display()
                    os.environ["DISPLAY"] = display.name
                bench_engine(os.path.abspath(arguments.bridge), engine, arguments, rows)
            except Failure as failure:
                print("FAILED (%s): %s" % (engine, failure), flush=True)
                rows.print(engines)
                return 1
            finally:
                if display:
                    display.close()
                    os.environ.pop("DISPLAY", None)
    print("load average after: %s" % load_average())
    rows.print(engines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
