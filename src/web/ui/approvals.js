// Codex's questions, on every screen: what it wants to run or change, where and why, how long
// it has waited and in which thread, and one button per decision it offered. Drawn from the
// approval store only; each card is built once and its changing parts are updated in place.

import { offeredDecisions, waitedText } from "../approvals.js";
import { h } from "./dom.js";

const words = {
  accept: "Approve",
  acceptForSession: "Approve for this session",
  decline: "Decline",
  cancel: "Cancel turn",
};

function str(value) {
  return typeof value === "string" ? value : "";
}

// A word of a command as a shell would need it typed.
function shellWord(word) {
  return /^[A-Za-z0-9_./=:@%+,-]+$/.test(word) ? word : "'" + word.replace(/'/g, "'\\''") + "'";
}

// The button text of one offered decision: a word, or an object with one member named after it.
export function decisionLabel(decision) {
  if (typeof decision === "string") return words[decision] ?? decision;
  const names = Object.keys(decision);
  if (names.length !== 1) return "Answer " + JSON.stringify(decision).slice(0, 60);
  const [name] = names;
  const details = decision[name] ?? {};
  if (name === "acceptWithExecpolicyAmendment" && Array.isArray(details.execpolicy_amendment)) {
    return `Always allow commands starting with "${details.execpolicy_amendment.filter((w) => typeof w === "string").map(shellWord).join(" ")}"`;
  }
  if (name === "applyNetworkPolicyAmendment" && details.network_policy_amendment) {
    const rule = details.network_policy_amendment;
    return `${str(rule.action) === "deny" ? "Always block" : "Always allow"} ${str(rule.host)}`.trim();
  }
  return name;
}

function primary(decision) {
  return decision !== "decline" && decision !== "cancel";
}

export class ApprovalDesk {
  // `store`: the approval store; `actions`: answer(id, decision), filesOf(itemId) (the changes
  // announced for a file change item), threadName(threadId), openThread(threadId).
  constructor(store, actions) {
    this.store = store;
    this.actions = actions;
    this.cards = new Map(); // bridge id -> {element, waited, error, thread, buttons}
    this.notes = h("div", { class: "approval-notes", role: "status" });
    this.element = h("section", { class: "approvals", "aria-label": "Approvals", "aria-live": "assertive" }, this.notes);
    this.ticker = null;
    this.shownNotes = null;
  }

  // Takes the place of `placeholder` on the page.
  show(placeholder) {
    placeholder.replaceWith(this.element);
  }

  render() {
    const { store } = this;
    for (const [id, card] of this.cards) {
      if (!store.questions.has(id)) {
        card.element.remove();
        this.cards.delete(id);
      }
    }
    for (const question of store.questions.values()) {
      let card = this.cards.get(question.id);
      if (!card) {
        card = this.card(question);
        this.cards.set(question.id, card);
        this.notes.before(card.element); // oldest first, as the store keeps them, the notes last
        performance.mark?.("approval card shown"); // when a reloaded page shows its cards again
      }
      card.waited.textContent = waitedText(store.waitedSeconds(question));
      card.thread.textContent = this.actions.threadName(str(question.params.threadId));
      card.error.textContent = question.error || (question.sending ? "Sending your answer…" : "");
      for (const button of card.buttons) button.disabled = question.sending || !store.connected;
    }
    if (this.shownNotes !== store.notes) {
      this.shownNotes = store.notes;
      this.notes.replaceChildren(...store.notes.map((note) => h("p", { class: "card note settled" }, note.text)));
    }
    const ticking = store.open > 0 || store.notes.length > 0;
    if (ticking && !this.ticker) {
      this.ticker = setInterval(() => {
        store.expireNotes();
        this.render();
      }, 1000);
    } else if (!ticking && this.ticker) {
      clearInterval(this.ticker);
      this.ticker = null;
    }
  }

  card({ id, method, params }) {
    const body = [];
    if (method === "item/commandExecution/requestApproval") {
      body.push(h("h2", {}, "Codex asks to run a command"));
      body.push(h("code", { class: "cmd" }, str(params.command) || "(the command was not given)"));
      body.push(h("p", { class: "facts" }, "in " + (str(params.cwd) || "(folder not given)")));
    } else {
      body.push(h("h2", {}, "Codex asks to change files"));
      const files = this.actions.filesOf(str(params.itemId));
      body.push(
        files.length
          ? h("ul", { class: "paths" }, files.map((file) => h("li", {}, h("code", {}, file.path), " ", file.kind)))
          : h("p", { class: "facts" }, "(the files were not announced to this phone)"),
      );
      if (str(params.grantRoot)) {
        body.push(h("p", { class: "facts" }, "and to write anywhere under " + params.grantRoot + " for this session"));
      }
    }
    if (str(params.reason)) body.push(h("p", { class: "reason" }, "Reason: " + params.reason));
    const waited = h("span", { class: "waited" });
    const thread = h("button", {
      type: "button",
      class: "link thread-link",
      onclick: () => this.actions.openThread(str(params.threadId)),
    });
    const error = h("p", { class: "error", role: "alert" });
    const buttons = offeredDecisions(params).map((decision) =>
      h("button", { type: "button", class: primary(decision) ? "primary" : "", onclick: () => this.actions.answer(id, decision) },
        decisionLabel(decision)),
    );
    const element = h("article", { class: "card approval", role: "alertdialog", "aria-label": "Approval" },
      body,
      h("p", { class: "facts" }, waited, " · in the thread ", thread),
      error,
      h("div", { class: "row wrap" }, buttons));
    return { element, waited, thread, error, buttons };
  }
}
