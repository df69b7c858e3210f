#!/usr/bin/python3
"""A stand-in for `codex app-server` that gives the phone's page something to show.

It answers the requests the bridge relays (newline-delimited JSON-RPC on stdin/stdout): an
account, a model, threads with previews, times, folders and a history, new threads, and turns,
which depend on the words of the message: "approve" asks to run a command (whose output holds
hostile HTML) and goes on once answered; "long" streams slowly until turn/interrupt; anything
else streams a short answer in deltas, with hostile HTML in the middle. Every message it
receives is appended as a JSON line to the --log file. It leaves when its input ends.
"""

import argparse
import json
import sys
import threading
import time

HOSTILE = "<img src=x onerror=alert(1)><script>window.tarnwickPwned=1</script>"
NOW = int(time.time())
THREADS = [
    {"id": "thr-garden", "preview": "Water the tomatoes in garden.py", "cwd": "/srv/garden",
     "updatedAt": NOW - 120},
    {"id": "thr-ledger", "preview": "Why does the ledger test fail on Mondays?",
     "cwd": "/home/ada/ledger", "updatedAt": NOW - 7200},
    {"id": "thr-hostile", "preview": "Preview " + HOSTILE, "cwd": "/tmp/<b>bold</b>",
     "updatedAt": NOW - 86400 * 3},
]


class Codex:
    def __init__(self, log_path):
        self.log_path = log_path
        self.out_lock = threading.Lock()
        self.next_id = 1000
        self.pending = {}  # id of our server request -> threading.Event with the answer
        self.turns = {}  # turn id -> threading.Event set by turn/interrupt
        self.counter = 0

    # --- wire ---------------------------------------------------------------------------
    def send(self, message):
        with self.out_lock:
            sys.stdout.write(json.dumps(message) + "\n")
            sys.stdout.flush()

    def notify(self, method, params):
        self.send({"method": method, "params": params})

    def started(self, base, item):
        self.notify("item/started", dict(base, item=item, startedAtMs=int(time.time() * 1000)))

    def record(self, message):
        if self.log_path:
            with open(self.log_path, "a") as log:
                log.write(json.dumps(message) + "\n")

    def new_id(self, prefix):
        self.counter += 1
        return "%s-%d" % (prefix, self.counter)

    # --- shapes -------------------------------------------------------------------------
    @staticmethod
    def thread(entry, turns=None):
        return {"id": entry["id"], "preview": entry["preview"], "cwd": entry["cwd"],
                "createdAt": entry["updatedAt"] - 600, "updatedAt": entry["updatedAt"],
                "status": {"type": "idle"}, "turns": turns or [], "name": None}

    def history(self, entry):
        return [{"id": entry["id"] + "-turn-1", "status": "completed", "items": [
            {"type": "userMessage", "id": entry["id"] + "-u1",
             "content": [{"type": "text", "text": entry["preview"]}]},
            {"type": "agentMessage", "id": entry["id"] + "-a1",
             "text": "Earlier answer in " + entry["id"] + "."},
        ]}]

    def session(self, thread):
        return {"thread": thread, "model": "gpt-fake", "modelProvider": "openai",
                "cwd": thread["cwd"], "approvalPolicy": "on-request",
                "approvalsReviewer": "user", "sandbox": {"type": "workspaceWrite"},
                "reasoningEffort": None}

    def find(self, thread_id):
        return next((entry for entry in THREADS if entry["id"] == thread_id), None)

    # --- requests -----------------------------------------------------------------------
    def handle(self, message):
        self.record(message)
        if "method" not in message:  # an answer to one of our requests
            event = self.pending.get(message.get("id"))
            if event is not None:
                event.answer = message
                event.set()
            return
        if "id" not in message:
            return  # a notification such as "initialized"
        method, params, rid = message["method"], message.get("params") or {}, message["id"]
        result = self.answer(method, params)
        failed = isinstance(result, dict) and "error" in result
        self.send({"id": rid, **(result if failed else {"result": result})})
        if method == "turn/start":
            threading.Thread(target=self.run_turn, args=(params, result["turn"]["id"]),
                             daemon=True).start()

    def answer(self, method, params):
        if method == "initialize":
            return {"userAgent": "fake-codex/0.0.0"}
        if method == "account/read":
            return {"account": {"type": "apiKey"}, "requiresOpenaiAuth": False}
        if method == "model/list":
            return {"data": [{"id": "gpt-fake", "model": "gpt-fake", "displayName": "GPT Fake",
                              "hidden": False, "isDefault": True}], "nextCursor": None}
        if method == "thread/list":
            ordered = sorted(THREADS, key=lambda entry: -entry["updatedAt"])
            return {"data": [self.thread(entry) for entry in ordered], "nextCursor": None}
        if method in ("thread/read", "thread/resume"):
            entry = self.find(params.get("threadId"))
            if entry is None:
                return {"error": {"code": -32600, "message": "no such thread"}}
            thread = self.thread(entry, self.history(entry))
            return {"thread": thread} if method == "thread/read" else self.session(thread)
        if method == "thread/start":
            entry = {"id": self.new_id("thr-new"), "preview": "",
                     "cwd": params.get("cwd") or "/srv/garden", "updatedAt": int(time.time())}
            THREADS.append(entry)
            return self.session(self.thread(entry))
        if method == "turn/start":
            return {"turn": {"id": self.new_id("turn"), "status": "inProgress", "items": []}}
        if method == "turn/steer":
            return {"turnId": params.get("expectedTurnId") or params.get("turnId")}
        if method == "turn/interrupt" and params.get("turnId") in self.turns:
            self.turns[params["turnId"]].set()
        return {}

    # --- turns --------------------------------------------------------------------------
    def run_turn(self, params, turn_id):
        thread_id = params.get("threadId")
        words = " ".join(part.get("text", "") for part in params.get("input") or []
                         if isinstance(part, dict))
        entry = self.find(thread_id)
        if entry is not None and not entry["preview"]:
            entry["preview"] = words
        stop = threading.Event()
        self.turns[turn_id] = stop
        base = {"threadId": thread_id, "turnId": turn_id}
        turn = {"id": turn_id, "status": "inProgress", "items": []}
        self.notify("turn/started", {"threadId": thread_id, "turn": turn})
        said = {"type": "userMessage", "id": self.new_id("user"),
                "content": [{"type": "text", "text": words}]}
        self.started(base, said)
        self.notify("item/completed", dict(base, item=said))
        status = "completed"
        if "approve" in words:
            self.stream(base, ["I will note the time. "], 0)
            status = self.ask_to_run(base)
        elif "long" in words:
            parts = ["Counting %d. " % number for number in range(1, 400)]
            if not self.stream(base, parts, 0.25, stop):
                status = "interrupted"
        else:
            parts = ["Streaming ", "reply ", "from ", "the ", "fake ", "Codex. ", HOSTILE,
                     " That ", "is ", "all."]
            self.stream(base, parts, 0.05, stop)
        self.notify("turn/completed", {"threadId": thread_id,
                                       "turn": dict(turn, status=status)})

    def stream(self, base, parts, pause, stop=None):
        """One agent message in deltas; False when the turn was interrupted on the way."""
        item_id = self.new_id("msg")
        item = {"type": "agentMessage", "id": item_id, "text": ""}
        self.started(base, item)
        text = ""
        for number, part in enumerate(parts):
            if number and stop is not None and stop.wait(pause):
                self.notify("item/completed", dict(base, item=dict(item, text=text)))
                return False
            text += part
            self.notify("item/agentMessage/delta", dict(base, itemId=item_id, delta=part))
        self.notify("item/completed", dict(base, item=dict(item, text=text)))
        return True

    def ask_to_run(self, base):
        item_id = self.new_id("cmd")
        command = "date >> noted.txt"
        item = {"type": "commandExecution", "id": item_id, "command": command,
                "commandActions": [], "cwd": "/srv/garden", "status": "inProgress",
                "aggregatedOutput": None, "exitCode": None}
        self.started(base, item)
        request_id, answered = self.next_id, threading.Event()
        self.next_id += 1
        self.pending[request_id] = answered
        self.send({"id": request_id, "method": "item/commandExecution/requestApproval",
                   "params": dict(base, itemId=item_id, command=command, cwd="/srv/garden",
                                  reason="To note the time " + HOSTILE,
                                  startedAtMs=int(time.time() * 1000))})
        answered.wait()
        decision = (answered.answer.get("result") or {}).get("decision")
        if decision in ("accept", "acceptForSession"):
            output = "noted\n" + HOSTILE + "\n"
            self.notify("item/commandExecution/outputDelta", dict(base, itemId=item_id,
                                                                  delta=output))
            self.notify("item/completed", dict(base, item=dict(
                item, status="completed", aggregatedOutput=output, exitCode=0)))
            self.stream(base, ["The command ran. ", HOSTILE], 0)
            return "completed"
        self.notify("item/completed", dict(base, item=dict(item, status="declined")))
        return "interrupted" if decision == "cancel" else "completed"


def serve(codex):
    """Hands each JSON object read from stdin to the fake until stdin ends."""
    for line in sys.stdin:
        try:
            message = json.loads(line)
        except ValueError:
            continue
        if isinstance(message, dict):
            codex.handle(message)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--log", help="file that records every message received")
    parser.add_argument("rest", nargs="*", help="ignored (app-server)")
    arguments = parser.parse_args()
    serve(Codex(arguments.log))


if __name__ == "__main__":
    main()
