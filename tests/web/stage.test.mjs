// The page's connection stage: every event in every stage, and the flows whose faults were
// found in a browser (forget shown at once, a reconnect that leaves nothing stale, Send only
// while paired).
import assert from "node:assert/strict";
import { test } from "node:test";

import { events, isPaired, stages, transition } from "../../src/web/stage.js";

// One row per event: the stage it leads to from each stage, in this order.
const from = ["connecting", "proving", "untrusted", "pairing", "paired", "held", "forgotten", "unreachable"];
const table = {
  connect:     ["connecting", "proving", "untrusted", "pairing", "paired", "connecting", "connecting", "unreachable"],
  opened:      ["proving", "proving", "untrusted", "pairing", "paired", "held", "forgotten", "proving"],
  notTrusted:  ["connecting", "untrusted", "untrusted", "pairing", "paired", "held", "forgotten", "unreachable"],
  pair:        ["connecting", "proving", "pairing", "pairing", "paired", "held", "forgotten", "unreachable"],
  accepted:    ["connecting", "paired", "paired", "paired", "paired", "held", "forgotten", "unreachable"],
  rejected:    ["connecting", "proving", "held", "held", "paired", "held", "forgotten", "unreachable"],
  notPaired:   ["connecting", "proving", "untrusted", "pairing", "untrusted", "held", "forgotten", "unreachable"],
  refused:     ["held", "held", "held", "held", "held", "held", "forgotten", "held"],
  replaced:    ["held", "held", "held", "held", "held", "held", "forgotten", "held"],
  forgotten:   ["forgotten", "forgotten", "forgotten", "forgotten", "forgotten", "forgotten", "forgotten", "forgotten"],
  lost:        ["connecting", "connecting", "connecting", "held", "connecting", "held", "forgotten", "unreachable"],
  unreachable: ["unreachable", "unreachable", "unreachable", "held", "unreachable", "held", "forgotten", "unreachable"],
};

const flows = [
  ["first visit, paired by code", "connecting", ["opened", "notTrusted", "pair", "accepted"], "paired"],
  ["a paired phone comes back", "connecting", ["opened", "accepted"], "paired"],
  ["forgotten while paired: shown at once, not after the next tap", "paired", ["forgotten"], "forgotten"],
  ["forgotten, then paired again", "forgotten", ["connect", "opened", "notTrusted", "pair", "accepted"], "paired"],
  ["the screen locked and the socket dropped", "paired", ["lost", "connect", "opened", "accepted"], "paired"],
  ["the bridge went away and came back", "paired", ["lost", "unreachable", "connect", "unreachable", "opened", "accepted"], "paired"],
  ["a pairing request ends with its connection", "pairing", ["lost", "connect"], "connecting"],
  ["the computer refused the pairing, and the person asks again", "pairing", ["rejected", "connect", "opened"], "proving"],
  ["an event of a connection that is gone changes nothing", "held", ["opened", "accepted", "lost"], "held"],
];

test("the connection stage: every stage and event, and the flows", () => {
  assert.deepEqual(from, stages);
  assert.deepEqual(Object.keys(table), events);
  for (const [event, row] of Object.entries(table)) {
    from.forEach((stage, i) => assert.equal(transition(stage, event), row[i], `${event} in ${stage}`));
  }
  for (const [name, start, steps, end] of flows) {
    assert.equal(steps.reduce(transition, start), end, name);
  }
  assert.equal(transition("paired", "no such event"), "paired");
  // Send, Steer and the approval buttons go with the stage, never a status text.
  assert.deepEqual(stages.filter(isPaired), ["paired"]);
});
