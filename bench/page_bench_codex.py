#!/usr/bin/python3
"""The browser tests' stand-in for `codex app-server`, with the long content the page benchmark
opens and streams.

Everything tests/web/fake_codex.py offers stays as it is; on top of it:

  a thread "A long thread of N turns" (--turns) in the folder --cwd, each turn a question, a
  command with a few KiB of output and an answer; the first answer ends with FIRST_TURN, the
  last with LATEST_TURN;
  a thread SHORT_THREAD of one turn in --cwd too, where turns may start;
  "bench output"   runs a command whose output (--output-kib KiB) comes as --delta-kib deltas,
                   the first starting with OUTPUT_START, the last ending with OUTPUT_END;
  "bench message"  streams one agent message of --deltas deltas, the last ending with
                   MESSAGE_END.
Once such a turn has been sent in full, {"finished": turn id} goes to the --log file.

The deltas go out as fast as the bridge takes them: the benchmark measures the page under the
heaviest stream, not under a model's pace.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import fake_codex  # noqa: E402

LONG_THREAD = "thr-bench-long"
SHORT_THREAD = "A short thread for the streams"
TURN_WORDS = "of the long thread"  # in every question of the long thread
FIRST_TURN = "[first turn]"
LATEST_TURN = "[latest turn]"
OUTPUT_START = "[output starts]"
OUTPUT_END = "[output ends]"
MESSAGE_END = "[message ends]"


def long_thread_preview(turns):
    return "A long thread of %d turns" % turns


def text_of(size, seed):
    """`size` characters of plain lines of about 80, different for each `seed`."""
    line = ("line %d of %s: the quick brown fox jumps over the lazy dog, " % (seed, "x" * (seed % 7)))
    line = (line * 3)[:79] + "\n"
    return (line * (size // len(line) + 1))[:size]


class BenchCodex(fake_codex.Codex):
    def __init__(self, log_path, sizes):
        super().__init__(log_path)
        self.sizes = sizes
        fake_codex.THREADS.append({"id": LONG_THREAD, "preview": long_thread_preview(sizes.turns),
                                   "cwd": sizes.cwd, "updatedAt": fake_codex.NOW - 60})
        fake_codex.THREADS.append({"id": "thr-bench-short", "preview": SHORT_THREAD,
                                   "cwd": sizes.cwd, "updatedAt": fake_codex.NOW - 90})

    def history(self, entry):
        if entry["id"] != LONG_THREAD:
            return super().history(entry)
        turns = []
        for number in range(1, self.sizes.turns + 1):
            prefix = "%s-%d" % (LONG_THREAD, number)
            answer = ("Turn %d: " % number) + text_of(1200, number).replace("\n", " ")
            if number == 1:
                answer += " " + FIRST_TURN
            if number == self.sizes.turns:
                answer += " " + LATEST_TURN
            turns.append({"id": prefix, "status": "completed", "items": [
                {"type": "userMessage", "id": prefix + "-u",
                 "content": [{"type": "text", "text": "Question %d %s: what changed in "
                              "garden.py since the last run?" % (number, TURN_WORDS)}]},
                {"type": "commandExecution", "id": prefix + "-c", "command": "git diff --stat",
                 "commandActions": [], "cwd": self.sizes.cwd, "status": "completed",
                 "aggregatedOutput": text_of(3000, number), "exitCode": 0},
                {"type": "agentMessage", "id": prefix + "-a", "text": answer},
            ]})
        return turns

    def run_turn(self, params, turn_id):
        words = " ".join(part.get("text", "") for part in params.get("input") or []
                         if isinstance(part, dict))
        if "bench output" not in words and "bench message" not in words:
            super().run_turn(params, turn_id)
            return
        thread_id = params.get("threadId")
        base = {"threadId": thread_id, "turnId": turn_id}
        turn = {"id": turn_id, "status": "inProgress", "items": []}
        self.notify("turn/started", {"threadId": thread_id, "turn": turn})
        said = {"type": "userMessage", "id": self.new_id("user"),
                "content": [{"type": "text", "text": words}]}
        self.notify("item/started", dict(base, item=said, startedAtMs=int(time.time() * 1000)))
        self.notify("item/completed", dict(base, item=said))
        if "bench output" in words:
            self.long_output(base)
        else:
            self.long_message(base)
        self.notify("turn/completed", {"threadId": thread_id,
                                       "turn": dict(turn, status="completed")})
        self.record({"finished": turn_id})  # all of it is on its way to the bridge

    def long_output(self, base):
        item_id = self.new_id("cmd")
        item = {"type": "commandExecution", "id": item_id, "command": "cat build.log",
                "commandActions": [], "cwd": self.sizes.cwd, "status": "inProgress",
                "aggregatedOutput": None, "exitCode": None}
        self.notify("item/started", dict(base, item=item, startedAtMs=int(time.time() * 1000)))
        size, step = self.sizes.output_kib * 1024, self.sizes.delta_kib * 1024
        body = text_of(size - len(OUTPUT_START) - len(OUTPUT_END) - 2, 0)
        output = OUTPUT_START + "\n" + body + OUTPUT_END + "\n"
        for start in range(0, len(output), step):
            self.notify("item/commandExecution/outputDelta",
                        dict(base, itemId=item_id, delta=output[start:start + step]))
        self.notify("item/completed", dict(base, item=dict(
            item, status="completed", aggregatedOutput=output, exitCode=0)))

    def long_message(self, base):
        count = self.sizes.deltas
        parts = ["word%d " % number for number in range(1, count)] + ["last " + MESSAGE_END]
        self.stream(base, parts, 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--log", help="file that records every message received")
    parser.add_argument("--cwd", default="/srv/garden", help="the bench threads' folder")
    parser.add_argument("--turns", type=int, default=300)
    parser.add_argument("--output-kib", type=int, default=1024)
    parser.add_argument("--delta-kib", type=int, default=8)
    parser.add_argument("--deltas", type=int, default=10000)
    parser.add_argument("rest", nargs="*", help="ignored (app-server)")
    arguments = parser.parse_args()
    fake_codex.serve(BenchCodex(arguments.log, arguments))


if __name__ == "__main__":
    main()
