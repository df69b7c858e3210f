// The page's account of Codex's open questions: offered again under the same id, kept across
// reconnects until settled, swept when a new session does not offer them, and only answered
// once and only with what Codex offered.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { ApprovalStore, offeredDecisions, readQuestion, settledNote, waitedText } from "../../src/web/approvals.js";

const command = "item/commandExecution/requestApproval";
const offer = (params, waitedSeconds = 0) => ({ params, waitedSeconds });

function store() {
  const clock = { ms: 1_000_000 };
  const questions = new ApprovalStore(() => clock.ms);
  questions.connected = true;
  return { questions, clock };
}

describe("what the bridge says", () => {
  test("a question's body, in both shapes and malformed", () => {
    const params = { threadId: "t", command: "ls" };
    for (const [body, expected] of [
      [offer(params, 42), { params, waitedSeconds: 42 }],
      [offer(params, -3), { params, waitedSeconds: 0 }],
      [params, { params, waitedSeconds: 0 }], // a bridge that sends Codex's params alone
      [{ params: [], waitedSeconds: 1 }, { params: { params: [], waitedSeconds: 1 }, waitedSeconds: 0 }],
      [[1, 2], { params: {}, waitedSeconds: 0 }],
      ["text", { params: {}, waitedSeconds: 0 }],
    ]) {
      assert.deepEqual(readQuestion(body), expected, JSON.stringify(body));
    }
  });

  test("the offered decisions, exactly and each once", () => {
    const amendment = { acceptWithExecpolicyAmendment: { execpolicy_amendment: ["npm", "test"] } };
    for (const [params, expected] of [
      [{}, ["accept", "acceptForSession", "decline"]],
      [{ availableDecisions: ["accept", "cancel"] }, ["accept", "cancel"]], // no decline added
      [{ availableDecisions: ["accept", amendment, { ...amendment }, "accept", null, 7, []] }, ["accept", amendment]],
      [{ availableDecisions: "accept" }, ["accept", "acceptForSession", "decline"]],
    ]) {
      assert.deepEqual(offeredDecisions(params), expected, JSON.stringify(params));
    }
  });

  test("the note a settled card leaves: how each decision counts, whoever gave it", () => {
    for (const [body, expected] of [
      [{ outcome: "answered", deviceName: "Laptop", decision: "acceptForSession" }, "Approved on Laptop"],
      [{ outcome: "answered", decision: "cancel" }, "Declined on another device"],
      [{ outcome: "answered", deviceName: "Laptop", decision: { acceptWithExecpolicyAmendment: {} } }, "Answered on Laptop"],
      [{ outcome: "somethingNew" }, "Codex no longer needs this"],
    ]) {
      assert.equal(settledNote(body), expected, JSON.stringify(body));
    }
    assert.deepEqual([0, 59, 60, 3599, 3720].map(waitedText),
      ["Waiting for 0 s", "Waiting for 59 s", "Waiting for 1 min", "Waiting for 59 min", "Waiting for 1 h 2 min"]);
  });
});

describe("the open questions", () => {
  test("offered again is the same question, its wait taken from the bridge", () => {
    const { questions, clock } = store();
    assert.equal(questions.offered("Q1", command, offer({ command: "ls" }, 5)), true);
    clock.ms += 60_000;
    assert.equal(questions.offered("Q1", command, offer({ command: "ls" }, 70)), false);
    assert.equal(questions.open, 1);
    assert.equal(questions.waitedSeconds(questions.questions.get("Q1")), 70);
    clock.ms += 2_500;
    assert.equal(questions.waitedSeconds(questions.questions.get("Q1")), 72);
  });

  test("answered once; a refusal or a new session lets it be answered again", () => {
    const { questions } = store();
    questions.offered("Q1", command, offer({}));
    assert.equal(questions.answering("Q1"), true);
    assert.equal(questions.answering("Q1"), false, "a second tap sends nothing");
    questions.refused("Q1", "Codex did not offer that decision for this question.");
    assert.equal(questions.questions.get("Q1").error, "Codex did not offer that decision for this question.");
    assert.equal(questions.answering("Q1"), true);
    questions.offered("Q1", command, offer({})); // the answer may have been lost with the connection
    assert.equal(questions.answering("Q1"), true);
    questions.connected = false;
    questions.offered("Q1", command, offer({}));
    assert.equal(questions.answering("Q1"), false, "nothing is sent without a connection");
    assert.equal(questions.answering("unknown"), false);
  });

  test("kept across a reconnect until settled, swept when not offered again", () => {
    const { questions, clock } = store();
    for (const id of ["Q1", "Q2", "Q3"]) questions.offered(id, command, offer({}));
    questions.reconnected();
    questions.offered("Q2", command, offer({}));
    questions.offered("Q4", command, offer({}));
    questions.sweep();
    assert.deepEqual([...questions.questions.keys()], ["Q2", "Q4"]);

    assert.equal(questions.settled("Q2", { outcome: "timedOut" }), true);
    assert.equal(questions.settled("Q2", { outcome: "timedOut" }), false, "settled once");
    assert.deepEqual(questions.notes.map((n) => n.text), ["Declined: nobody answered in time"]);
    assert.equal(questions.expireNotes(), false);
    clock.ms += 10_000;
    assert.equal(questions.expireNotes(), true);
    assert.deepEqual(questions.notes, []);
  });

  test("a flood of questions is bounded", () => {
    const { questions } = store();
    for (let i = 0; i < 1000; i++) questions.offered("Q" + i, command, offer({}));
    assert.equal(questions.open, 64);
    for (let i = 0; i < 1000; i++) questions.settled("Q" + i, { outcome: "withdrawn" });
    assert.equal(questions.notes.length, 4);
  });
});
