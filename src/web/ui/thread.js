// One thread: its history, the agent's text as it streams, commands and file changes, the
// prompt box, and Stop and Steer while a turn runs. The transcript is a log that announces
// whole messages: a message being streamed grows outside the log and moves in once complete.
//
// Long threads and outputs stay quick: the latest turns are drawn first and earlier ones on
// demand; a command's output is kept as pieces, drawn only while it is open, its latest
// window first; streamed text is appended as one text node per animation frame, never set
// again as a whole.

import { field, h, replace } from "./dom.js";

const turnsAtOnce = 20;
const firstWindow = 16 * 1024; // characters of an output drawn when it is opened: its end
const outputWindow = 64 * 1024; // characters more for each "Earlier output"
const streamBlock = 4 * 1024; // characters of a streamed message laid out together
const maxOutput = 2 * 1024 * 1024; // characters of one command's output, or a streamed message, kept

function texts(content) {
  return (Array.isArray(content) ? content : [])
    .filter((part) => part && part.type === "text" && typeof part.text === "string")
    .map((part) => part.text)
    .join("\n");
}

function str(value) {
  return typeof value === "string" ? value : "";
}

function changeKind(kind) {
  const word = typeof kind === "string" ? kind : kind && typeof kind.type === "string" ? kind.type : "";
  return { add: "added", delete: "deleted", update: "changed" }[word] ?? word;
}

export function statusWord(status) {
  return { inProgress: "running", completed: "done", failed: "failed", declined: "declined" }[status] ?? str(status);
}

// The bytes of `text` in UTF-8, without making them.
function utf8Bytes(text) {
  let bytes = text.length;
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit >= 0xd800 && unit <= 0xdfff) bytes += 1; // a pair of these is four bytes
    else if (unit >= 0x800) bytes += 2;
    else if (unit >= 0x80) bytes += 1;
  }
  return bytes;
}

export function sizeText(bytes) {
  if (bytes < 1024) return `${bytes} B`;
  if (bytes < 1024 * 1024) return `${(bytes / 1024).toFixed(1)} KiB`;
  return `${(bytes / (1024 * 1024)).toFixed(1)} MiB`;
}

// Writes to the page gathered until the next animation frame, each task once.
class Frame {
  constructor() {
    this.tasks = new Set();
  }

  schedule(task) {
    if (this.tasks.size === 0) requestAnimationFrame(() => this.run());
    this.tasks.add(task);
  }

  run() {
    const tasks = [...this.tasks];
    this.tasks.clear();
    const root = document.scrollingElement ?? document.documentElement;
    const atEnd = root.scrollTop + root.clientHeight >= root.scrollHeight - 80;
    for (const task of tasks) task();
    if (atEnd) root.scrollTop = root.scrollHeight;
  }
}

// An agent message as its deltas arrive. Its text goes into blocks of a few KiB, each frame's
// text appended to the last one, so that a frame lays out one block and not the whole message;
// a block ends at a line break where there is one, else at a space.
class Stream {
  constructor(frame) {
    this.frame = frame;
    this.element = h("div", { class: "msg agent" });
    this.block = null;
    this.blockLength = 0;
    this.pending = [];
    this.length = 0;
    this.flush = () => {
      if (!this.pending.length) return;
      let text = this.pending.join("");
      this.pending = [];
      while (text) {
        let cut = text.length;
        if (this.blockLength + text.length > streamBlock) {
          const from = Math.max(0, streamBlock - this.blockLength);
          const end = text.indexOf("\n", from);
          cut = end >= 0 ? end + 1 : text.indexOf(" ", from) + 1 || text.length;
        }
        if (!this.block) this.element.append((this.block = h("div", { class: "part" })));
        this.block.append(document.createTextNode(text.slice(0, cut)));
        this.blockLength += cut;
        text = text.slice(cut);
        if (text) [this.block, this.blockLength] = [null, 0];
      }
    };
  }

  // What comes past the bound is not kept: the completed item says how it ends.
  add(text) {
    if (this.length + text.length > maxOutput) return;
    this.pending.push(text);
    this.length += text.length;
    this.frame.schedule(this.flush);
  }
}

// A command's output, collapsed with its size shown; drawn when opened, its end first and
// earlier windows on demand. Kept as pieces of at most `firstWindow` characters.
class CommandOutput {
  constructor(frame, text) {
    this.frame = frame;
    this.pieces = [];
    this.length = 0;
    this.bytes = 0;
    this.first = 0; // pieces[first, drawn) are on the page while open
    this.drawn = 0;
    this.summary = h("summary", {});
    this.earlier = h("button", { type: "button", class: "link earlier-output", hidden: true, onclick: () => this.showEarlier() }, "Earlier output");
    this.body = h("pre", { class: "output" });
    this.element = h("details", { class: "command-output", ontoggle: () => this.toggled() }, this.summary, this.earlier, this.body);
    this.update = () => this.draw();
    this.add(text);
    this.draw();
  }

  add(text) {
    for (let at = 0; at < text.length; at += firstWindow) {
      const piece = text.slice(at, at + firstWindow);
      this.pieces.push(piece);
      this.length += piece.length;
      this.bytes += utf8Bytes(piece);
    }
    while (this.length > maxOutput && this.pieces.length > 1) {
      const dropped = this.pieces.shift();
      this.length -= dropped.length;
      this.first = Math.max(0, this.first - 1);
      this.drawn = Math.max(0, this.drawn - 1);
    }
    this.frame.schedule(this.update);
  }

  // The whole output as the completed item gives it; kept when the deltas already made it.
  settle(text) {
    if (text.length === this.length || (!text && this.length)) return;
    this.pieces = [];
    this.length = this.bytes = this.first = this.drawn = 0;
    replace(this.body);
    this.add(text);
  }

  toggled() {
    if (this.element.open) {
      this.draw();
    } else {
      replace(this.body); // a closed output costs no layout
      this.first = this.drawn = 0;
    }
  }

  draw() {
    this.summary.textContent = "Output · " + sizeText(this.bytes);
    if (!this.element.open) return;
    if (this.drawn === 0) {
      let first = this.pieces.length;
      for (let shown = 0; first > 0 && shown < firstWindow; ) shown += this.pieces[--first].length;
      this.first = first;
    }
    if (this.drawn < this.pieces.length) {
      this.body.append(document.createTextNode(this.pieces.slice(Math.max(this.drawn, this.first)).join("")));
      this.drawn = this.pieces.length;
    }
    this.earlier.hidden = this.first === 0;
  }

  showEarlier() {
    let first = this.first;
    for (let shown = 0; first > 0 && shown < outputWindow; ) shown += this.pieces[--first].length;
    this.body.prepend(document.createTextNode(this.pieces.slice(first, this.first).join("")));
    this.first = first;
    this.earlier.hidden = first === 0;
  }
}

// A collapsed text drawn only once opened (a file's diff).
function lazyDetails(summary, className, text) {
  const body = h("pre", { class: className });
  const details = h("details", {
    ontoggle: () => (details.open ? replace(body, text) : replace(body)),
  }, h("summary", {}, summary), body);
  return details;
}

const turnWords = {
  interrupted: "The turn was stopped.",
  failed: "The turn failed.",
};

export class ThreadView {
  // `actions`: send(text), steer(text) (each resolve to whether it went out), stop(), back().
  constructor(actions) {
    this.actions = actions;
    this.frame = new Frame();
    this.items = new Map(); // item id -> {element, output}
    this.streams = new Map(); // agent message id -> Stream outside the log
    this.turns = []; // the loaded history; turns before `shownFrom` are not drawn yet
    this.shownFrom = 0;
    this.online = false;
    this.running = false;
    this.shown = ""; // what render last drew, so that streaming redraws nothing
    this.title = h("h1", { class: "thread-title" });
    this.earlier = h("button", { type: "button", class: "link earlier-turns", hidden: true, onclick: () => this.showEarlier() });
    this.log = h("div", { role: "log", "aria-live": "polite", "aria-label": "Transcript", class: "log" });
    this.draft = h("div", { class: "log draft", "aria-hidden": "true" });
    this.status = h("p", { class: "turn-status", role: "status" });
    this.message = h("textarea", { rows: 2, autocomplete: "off", enterkeyhint: "send" });
    this.message.addEventListener("keydown", (event) => {
      // On a keyboard Enter sends and Shift+Enter starts a new line; a touch keyboard keeps
      // Enter for new lines and sends with the button.
      const touch = globalThis.matchMedia?.("(pointer: coarse)").matches;
      if (event.key === "Enter" && !event.shiftKey && !event.isComposing && !touch) {
        event.preventDefault();
        this.submit();
      }
    });
    this.sendButton = h("button", { class: "primary", type: "submit", disabled: true }, "Send");
    this.steerButton = h("button", { class: "primary", type: "submit", hidden: true, disabled: true }, "Steer");
    this.stopButton = h("button", { type: "button", class: "danger", hidden: true, onclick: () => this.actions.stop() }, "Stop");
    const form = h(
      "form",
      { class: "composer", onsubmit: (event) => (event.preventDefault(), this.submit()) },
      field("Message", this.message),
      h("div", { class: "row" }, this.stopButton, this.steerButton, this.sendButton),
    );
    this.element = h(
      "section",
      { class: "screen thread" },
      h("header", { class: "bar" },
        h("button", { type: "button", class: "back", onclick: () => this.actions.back() }, "Back"),
        this.title),
      h("div", { class: "transcript" }, this.earlier, this.log, this.draft),
      this.status,
      form,
    );
  }

  // Puts this screen in `parent`, in place of what was there.
  show(parent) {
    replace(parent, this.element);
  }

  // The open thread's facts ({title, running, error}), and whether requests can go out.
  render(thread, online) {
    const shown = JSON.stringify([thread.title, thread.running, thread.error, online]);
    if (shown === this.shown) return;
    this.shown = shown;
    this.online = online;
    this.running = thread.running;
    this.title.textContent = thread.title || "New thread";
    this.sendButton.hidden = thread.running;
    this.steerButton.hidden = !thread.running;
    this.stopButton.hidden = !thread.running;
    this.sendButton.disabled = this.steerButton.disabled = !online;
    this.status.textContent = thread.error || (thread.running ? "Codex is working…" : "");
  }

  submit() {
    const text = this.message.value.trim();
    if (!text || !this.online) return;
    const done = this.running ? this.actions.steer(text) : this.actions.send(text);
    Promise.resolve(done).then((ok) => {
      if (ok !== false && this.message.value.trim() === text) this.message.value = "";
    });
  }

  // The history as thread/read or thread/resume gives it: its latest turns drawn.
  load(thread) {
    this.items.clear();
    this.streams.clear();
    replace(this.log);
    replace(this.draft);
    this.turns = Array.isArray(thread.turns) ? thread.turns : [];
    this.shownFrom = Math.max(0, this.turns.length - turnsAtOnce);
    this.log.append(this.drawTurns(this.shownFrom, this.turns.length));
    this.showEarlierButton();
    requestAnimationFrame(() => {
      const root = document.scrollingElement ?? document.documentElement;
      if (this.element.isConnected) root.scrollTop = root.scrollHeight;
    });
  }

  drawTurns(from, to) {
    const drawn = document.createDocumentFragment();
    for (const turn of this.turns.slice(from, to)) {
      for (const item of Array.isArray(turn?.items) ? turn.items : []) this.showItem(item, true, drawn);
      const note = this.turnNote(turn);
      if (note) drawn.append(note);
    }
    return drawn;
  }

  // The turns before the ones shown, keeping what the reader looks at where it is.
  showEarlier() {
    const from = Math.max(0, this.shownFrom - turnsAtOnce);
    const root = document.scrollingElement ?? document.documentElement;
    const height = root.scrollHeight;
    this.log.prepend(this.drawTurns(from, this.shownFrom));
    this.shownFrom = from;
    this.showEarlierButton();
    root.scrollTop += root.scrollHeight - height;
  }

  showEarlierButton() {
    this.earlier.hidden = this.shownFrom === 0;
    this.earlier.textContent = `Earlier turns (${this.shownFrom})`;
  }

  turnNote(turn) {
    const words = turnWords[turn?.status];
    const error = turn?.error && typeof turn.error.message === "string" ? turn.error.message : "";
    return words || error ? h("p", { class: "note" }, [words ?? "", error].filter(Boolean).join(" ")) : null;
  }

  // A notification about this thread.
  event(method, params) {
    switch (method) {
      case "item/agentMessage/delta":
        this.delta(str(params.itemId), str(params.delta));
        return;
      case "item/commandExecution/outputDelta":
        this.items.get(str(params.itemId))?.output?.add(str(params.delta));
        return;
      default:
        break;
    }
    const root = document.scrollingElement ?? document.documentElement;
    const atEnd = root.scrollTop + root.clientHeight >= root.scrollHeight - 80;
    if (method === "turn/completed") {
      // A message cut short (the turn was stopped) stays, as far as it came.
      for (const stream of this.streams.values()) {
        stream.flush();
        this.log.append(stream.element);
      }
      this.streams.clear();
      const note = this.turnNote(params.turn);
      if (note) this.log.append(note);
    } else if ((method === "item/started" || method === "item/completed") && params.item) {
      this.showItem(params.item, method === "item/completed", this.log);
    } else if (method === "error") {
      const message = params.error && typeof params.error.message === "string" ? params.error.message : "";
      if (message) this.log.append(h("p", { class: "note error" }, "Codex: " + message));
    }
    if (atEnd && this.element.isConnected) root.scrollTop = root.scrollHeight;
  }

  delta(id, text) {
    if (!id || !text || this.items.has(id)) return;
    let stream = this.streams.get(id);
    if (!stream) {
      stream = new Stream(this.frame);
      this.streams.set(id, stream);
      this.draft.append(stream.element);
    }
    stream.add(text);
  }

  // Adds an item to `into`, or brings a known one up to date in place.
  showItem(item, complete, into) {
    if (!item || typeof item.id !== "string") return;
    if (item.type === "agentMessage" && !complete) return; // its text arrives by deltas
    const known = this.items.get(item.id);
    if (known?.output && item.type === "commandExecution") {
      known.facts.textContent = this.commandFacts(item);
      known.output.settle(str(item.aggregatedOutput));
      return;
    }
    const stream = this.streams.get(item.id);
    this.streams.delete(item.id);
    let shown;
    if (stream && item.type === "agentMessage" && str(item.text).length === stream.length) {
      stream.flush(); // what streamed is the message: it moves into the log as it is
      shown = { element: stream.element };
    } else {
      stream?.element.remove();
      shown = this.draw(item);
    }
    if (!shown) return;
    if (known) known.element.replaceWith(shown.element);
    else into.append(shown.element);
    this.items.set(item.id, shown);
  }

  draw(item) {
    const message = (kind, text) => ({ element: h("div", { class: "msg " + kind }, text) });
    switch (item.type) {
      case "userMessage":
        return message("user", texts(item.content));
      case "agentMessage":
        return message("agent", str(item.text));
      case "plan":
        return message("plan", str(item.text));
      case "commandExecution": {
        const facts = h("p", { class: "facts" }, this.commandFacts(item));
        const output = new CommandOutput(this.frame, str(item.aggregatedOutput));
        const element = h("div", { class: "item command" }, h("code", { class: "cmd" }, str(item.command)), facts, output.element);
        return { element, facts, output };
      }
      case "fileChange":
        return { element: this.fileChange(item) };
      case "webSearch":
        return { element: h("p", { class: "note" }, "Searched the web: " + str(item.query)) };
      case "mcpToolCall":
      case "dynamicToolCall":
        return { element: h("p", { class: "note" }, "Used the tool " + str(item.tool) + ".") };
      default:
        return null;
    }
  }

  commandFacts(item) {
    const facts = ["in " + (str(item.cwd) || "?")];
    if (Number.isInteger(item.exitCode)) facts.push("exit code " + item.exitCode);
    if (item.status && item.status !== "completed") facts.push(statusWord(item.status));
    return facts.join(" · ");
  }

  fileChange(item) {
    const changes = Array.isArray(item.changes) ? item.changes : [];
    return h(
      "div",
      { class: "item files" },
      h("p", { class: "facts" }, "Files " + (item.status === "completed" ? "changed" : statusWord(item.status))),
      changes.map((change) =>
        lazyDetails([h("code", {}, str(change?.path)), " ", changeKind(change?.kind)], "diff", str(change?.diff).slice(0, maxOutput)),
      ),
    );
  }
}
