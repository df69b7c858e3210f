// One thread: its history, the agent's text as it streams, commands and file changes, the
// prompt box, and Stop and Steer while a turn runs. The transcript is a log that announces
// whole messages: a message being streamed grows outside the log and moves in once complete.

import { field, h, replace } from "./dom.js";

const maxOutput = 256 * 1024; // characters of one command's output kept on screen

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

function clipped(text) {
  return text.length > maxOutput ? "…" + text.slice(text.length - maxOutput) : text;
}

const turnWords = {
  interrupted: "The turn was stopped.",
  failed: "The turn failed.",
};

export class ThreadView {
  constructor({ send, steer, stop, back }) {
    this.actions = { send, steer, stop, back };
    this.threadID = null;
    this.turnID = null;
    this.running = false;
    this.online = false;
    this.items = new Map(); // item id -> {element, item}
    this.streaming = new Map(); // agent message id -> element outside the log
    this.title = h("h1", { class: "thread-title" });
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
      h("div", { class: "transcript" }, this.log, this.draft),
      this.status,
      form,
    );
  }

  // Send and Steer only while the bridge is there to take them.
  setOnline(online) {
    this.online = online;
    this.sendButton.disabled = !online;
    this.steerButton.disabled = !online;
  }

  submit() {
    const text = this.message.value.trim();
    if (!text || !this.online) return;
    const done = this.running ? this.actions.steer(text) : this.actions.send(text);
    Promise.resolve(done).then((ok) => {
      if (ok !== false && this.message.value.trim() === text) this.message.value = "";
    });
  }

  open(thread) {
    this.threadID = thread.id;
    this.title.textContent = str(thread.name) || str(thread.preview) || "New thread";
    this.load(thread);
  }

  // The whole history, as thread/read or thread/resume gives it.
  load(thread) {
    this.items.clear();
    this.streaming.clear();
    replace(this.log);
    replace(this.draft);
    let active = null;
    for (const turn of Array.isArray(thread.turns) ? thread.turns : []) {
      for (const item of Array.isArray(turn.items) ? turn.items : []) this.show(item);
      if (turn.status === "inProgress") active = turn.id;
      else this.turnEnded(turn, false);
    }
    this.setRunning(active);
    requestAnimationFrame(() => {
      const root = document.scrollingElement ?? document.documentElement;
      if (this.element.isConnected) root.scrollTop = root.scrollHeight;
    });
  }

  setRunning(turnID) {
    this.running = turnID !== null && turnID !== undefined;
    this.turnID = this.running ? turnID : null;
    this.sendButton.hidden = this.running;
    this.steerButton.hidden = !this.running;
    this.stopButton.hidden = !this.running;
    if (this.running) this.status.textContent = "Codex is working…";
    else if (this.status.textContent === "Codex is working…") this.status.textContent = "";
  }

  turnEnded(turn, live = true) {
    if (live) {
      // A message cut short (the turn was stopped) stays, as far as it came.
      for (const element of this.streaming.values()) this.log.append(element);
      this.streaming.clear();
    }
    const words = turnWords[turn?.status];
    const error = turn?.error && typeof turn.error.message === "string" ? turn.error.message : "";
    if (words || error) {
      this.log.append(h("p", { class: "note" }, [words ?? "", error].filter(Boolean).join(" ")));
    }
    if (live) this.setRunning(null);
  }

  // Notifications about this thread. A reader at the end of the transcript stays there.
  event(method, params) {
    if (!params || params.threadId !== this.threadID) return;
    const root = document.scrollingElement ?? document.documentElement;
    const atEnd = root.scrollTop + root.clientHeight >= root.scrollHeight - 80;
    this.apply(method, params);
    if (atEnd && this.element.isConnected) root.scrollTop = root.scrollHeight;
  }

  apply(method, params) {
    switch (method) {
      case "turn/started":
        this.setRunning(params.turn?.id ?? this.turnID ?? "");
        break;
      case "turn/completed":
        this.turnEnded(params.turn);
        break;
      case "item/started":
      case "item/completed":
        if (params.item) this.show(params.item, method === "item/completed");
        break;
      case "item/agentMessage/delta":
        this.delta(str(params.itemId), str(params.delta));
        break;
      case "item/commandExecution/outputDelta":
        this.outputDelta(str(params.itemId), str(params.delta));
        break;
      case "error": {
        const message = params.error && typeof params.error.message === "string" ? params.error.message : "";
        if (message) this.log.append(h("p", { class: "note error" }, "Codex: " + message));
        break;
      }
      default:
        break;
    }
  }

  delta(id, text) {
    let element = this.streaming.get(id);
    if (!element) {
      element = h("div", { class: "msg agent" });
      this.streaming.set(id, element);
      this.draft.append(element);
    }
    element.textContent += text;
  }

  outputDelta(id, text) {
    const known = this.items.get(id);
    const output = known?.element.querySelector("pre.output");
    if (output) output.textContent = clipped(output.textContent + text);
  }

  // Adds an item, or redraws it in place when it is known.
  show(item, complete = true) {
    if (!item || typeof item.id !== "string") return;
    if (item.type === "agentMessage" && !complete) return; // its text arrives by deltas
    const element = this.render(item);
    if (!element) return;
    const known = this.items.get(item.id);
    const draft = this.streaming.get(item.id);
    if (draft) {
      draft.remove();
      this.streaming.delete(item.id);
    }
    if (item.type === "userMessage" && this.title.textContent === "New thread") {
      this.title.textContent = texts(item.content).split("\n")[0] || "New thread";
    }
    if (known) {
      // A command's output pane keeps being open when it was.
      const wasOpen = known.element.querySelector("details")?.open;
      const details = element.querySelector("details");
      if (wasOpen && details) details.open = true;
      known.element.replaceWith(element);
    } else {
      this.log.append(element);
    }
    this.items.set(item.id, { element, item });
  }

  render(item) {
    switch (item.type) {
      case "userMessage":
        return h("div", { class: "msg user" }, texts(item.content));
      case "agentMessage":
        return h("div", { class: "msg agent" }, str(item.text));
      case "plan":
        return h("div", { class: "msg plan" }, str(item.text));
      case "commandExecution":
        return this.command(item);
      case "fileChange":
        return this.fileChange(item);
      case "webSearch":
        return h("p", { class: "note" }, "Searched the web: " + str(item.query));
      case "mcpToolCall":
      case "dynamicToolCall":
        return h("p", { class: "note" }, "Used the tool " + str(item.tool) + ".");
      default:
        return null;
    }
  }

  command(item) {
    const facts = ["in " + (str(item.cwd) || "?")];
    if (Number.isInteger(item.exitCode)) facts.push("exit code " + item.exitCode);
    if (item.status && item.status !== "completed") facts.push(statusWord(item.status));
    const output = str(item.aggregatedOutput);
    return h(
      "div",
      { class: "item command" },
      h("code", { class: "cmd" }, str(item.command)),
      h("p", { class: "facts" }, facts.join(" · ")),
      h("details", {}, h("summary", {}, "Output"), h("pre", { class: "output" }, clipped(output))),
    );
  }

  fileChange(item) {
    const changes = Array.isArray(item.changes) ? item.changes : [];
    return h(
      "div",
      { class: "item files" },
      h("p", { class: "facts" }, "Files " + (item.status === "completed" ? "changed" : statusWord(item.status))),
      changes.map((change) =>
        h(
          "details",
          {},
          h("summary", {}, h("code", {}, str(change?.path)), " ", changeKind(change?.kind)),
          h("pre", { class: "diff" }, clipped(str(change?.diff))),
        ),
      ),
    );
  }
}

export function statusWord(status) {
  return { inProgress: "running", completed: "done", failed: "failed", declined: "declined" }[status] ?? str(status);
}
