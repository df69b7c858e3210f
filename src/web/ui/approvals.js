// Codex's questions, on every screen: what it wants to run or change, where and why, and one
// button per decision it offers.

import { h } from "./dom.js";

const fallbackDecisions = ["accept", "acceptForSession", "decline", "cancel"];
const words = {
  accept: "Approve",
  acceptForSession: "Approve for session",
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

// The button text of one offered decision: a word or an object with one member named after it.
export function decisionLabel(decision) {
  if (typeof decision === "string") return words[decision] ?? decision;
  if (!decision || typeof decision !== "object") return null;
  const names = Object.keys(decision);
  if (names.length !== 1) return null;
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

// The decisions to offer, each once, with "decline" always among them.
export function offeredDecisions(params) {
  const offered = Array.isArray(params?.availableDecisions) ? params.availableDecisions : fallbackDecisions;
  const seen = new Set();
  const out = [];
  for (const decision of [...offered, "decline"]) {
    const label = decisionLabel(decision);
    const key = JSON.stringify(decision);
    if (!label || seen.has(key)) continue;
    seen.add(key);
    out.push({ decision, label });
  }
  return out;
}

export class ApprovalDesk {
  // `answer(id, decision)` sends the decision; `filesOf(itemId)` gives the changes announced for
  // a file change item.
  constructor(answer, filesOf) {
    this.answer = answer;
    this.filesOf = filesOf;
    this.cards = new Map();
    this.element = h("section", { class: "approvals", "aria-label": "Approvals", "aria-live": "assertive" });
  }

  asked(id, method, params) {
    const card = this.card(id, method, params ?? {});
    if (!card) {
      this.answer(id, "decline"); // a question this page cannot show is not approved unseen
      return;
    }
    this.cards.set(id, card);
    this.element.append(card);
    navigator.vibrate?.(200);
  }

  card(id, method, params) {
    const body = [];
    if (method === "item/commandExecution/requestApproval") {
      body.push(h("h2", {}, "Codex asks to run a command"));
      body.push(h("code", { class: "cmd" }, str(params.command) || "(the command was not given)"));
      body.push(h("p", { class: "facts" }, "in " + (str(params.cwd) || "(folder not given)")));
    } else if (method === "item/fileChange/requestApproval") {
      body.push(h("h2", {}, "Codex asks to change files"));
      const files = this.filesOf(str(params.itemId));
      body.push(
        files.length
          ? h("ul", { class: "paths" }, files.map((file) => h("li", {}, h("code", {}, file.path), " ", file.kind)))
          : h("p", { class: "facts" }, "(the files were not announced to this phone)"),
      );
      if (str(params.grantRoot)) {
        body.push(h("p", { class: "facts" }, "and to write anywhere under " + params.grantRoot + " for this session"));
      }
    } else {
      return null;
    }
    if (str(params.reason)) body.push(h("p", { class: "reason" }, "Reason: " + params.reason));
    const buttons = offeredDecisions(params).map(({ decision, label }) =>
      h("button", {
        type: "button",
        class: decision === "decline" || decision === "cancel" ? "" : "primary",
        onclick: () => this.decide(id, decision),
      }, label),
    );
    return h("article", { class: "card approval", role: "alertdialog", "aria-label": "Approval" }, body, h("div", { class: "row wrap" }, buttons));
  }

  decide(id, decision) {
    const card = this.cards.get(id);
    if (!card) return;
    this.cards.delete(id);
    card.remove();
    this.answer(id, decision);
  }

  // The connection ended: its questions were answered by the bridge and cannot be answered here.
  clear() {
    this.cards.clear();
    this.element.replaceChildren();
  }
}
