// The cockpit: keeps this phone's identity, holds one session to the bridge that served the
// page (reconnecting by itself), and shows pairing, the threads, one thread and Codex's
// questions. Everything the page knows is in `state`; the connection's stage moves only
// through `transition` (stage.js), and the views draw from the state.

import { ApprovalStore, methods } from "./approvals.js";
import { base64UrlDecode } from "./crypto.js";
import { BridgeSession, closeCodes, defaultName, fitName, isValidName, sessionPath, subprotocol } from "./protocol.js";
import { isPaired, transition, wantsConnection } from "./stage.js";
import { DeviceStore } from "./store.js";
import { ApprovalDesk } from "./ui/approvals.js";
import { h, replace } from "./ui/dom.js";
import { PairingScreen, ThreadsScreen, nameScreen } from "./ui/screens.js";
import { ThreadView } from "./ui/thread.js";
import { TrustPanel } from "./ui/trust.js";

// The QR code's one-time secret rides in the fragment, which no request carries; it leaves the
// address bar (and so the history) at once and lives only in this variable.
let secret = null;
{
  const match = /^#pair=([A-Za-z0-9_-]+)$/.exec(location.hash);
  if (location.hash) history.replaceState(null, "", "/");
  const bytes = match ? base64UrlDecode(match[1]) : null;
  if (bytes && bytes.length === 32) secret = bytes;
}

const banners = {
  connecting: "Connecting",
  reconnecting: "Reconnecting",
  proving: "Connecting",
  untrusted: "Waiting for the computer",
  pairing: "Waiting for the computer",
  paired: "Paired",
  held: "",
  forgotten: "This phone was forgotten by the computer. Pair it again.",
  unreachable: "The bridge is not reachable",
};
const texts = {
  connecting: "Connecting to the computer…",
  askingCode: "Asking the computer for a pairing code…",
  compare: "Check that the computer shows the same code, then press Pair there.",
  bySecret: "Pairing with the code this phone scanned…",
  forgotten: "To use this phone again, pair it with a code and confirm on the computer.",
  notPaired: "The computer does not trust this phone any more. Pair it again.",
  privateBrowsing: "This browser will forget this phone when the page closes (private browsing).",
  badSecret: "The QR code is wrong, used or expired.",
  rejected: "The computer did not pair this phone.",
  ended: "The pairing request ended before the computer accepted it.",
  replaced: "Replaced by another session of this device.",
  noV2: "The bridge did not agree to handshake version 2.",
  notConnected: "Not connected to the computer.",
};
const title = "Tarnwick Bridge";

const maxDelay = 30000;
const unreachableAfter = 3; // failed attempts in a row before the banner says so
const maxAnnouncedFileItems = 256;
const aliveTimeout = 3000;

class Cockpit {
  constructor() {
    this.store = new DeviceStore();
    this.state = {
      stage: "connecting",
      failures: 0, // attempts in a row that never reached a proven bridge
      heldBy: "", // why the stage is held: "replaced", or what the pairing screen says
      screen: "name", // name, pairing, or app (the threads, or the open thread)
      pairing: { code: "", bySecret: false, error: "" },
      threads: [], // as thread/list last gave it, newest first
      thread: null, // the open thread: {id, title, turnId, running, error, resumed}
      files: new Map(), // file change item id -> [{path, kind}], for the approval cards
      questions: new ApprovalStore(),
    };
    this.socket = null;
    this.session = null;
    this.timer = null;
    this.counted = 0; // open questions the title and the badge show
    this.banner = document.getElementById("banner");
    this.notice = document.getElementById("notice");
    this.main = document.getElementById("app");
    this.pairingScreen = new PairingScreen(() => this.pairWithCode());
    this.threadsScreen = new ThreadsScreen({
      open: (thread) => this.openThread(thread),
      start: (params) => this.startThread(params),
    });
    this.threadView = new ThreadView({
      send: (text) => this.sendTurn(text),
      steer: (text) => this.steer(text),
      stop: () => this.stop(),
      back: () => this.closeThread(),
    });
    this.approvals = new ApprovalDesk(this.state.questions, {
      answer: (id, decision) => this.answer(id, decision),
      filesOf: (itemId) => this.state.files.get(itemId) ?? [],
      threadName: (threadId) => this.threadName(threadId),
      openThread: (threadId) => this.openThread(this.state.threads.find((t) => t.id === threadId) ?? { id: threadId }),
    });
    this.approvals.show(document.getElementById("approvals"));
    this.shown = null; // the screen on the page
    this.bannerText = null;
  }

  async start() {
    const record = await this.store.load();
    const wake = () => document.visibilityState === "visible" && this.wake();
    document.addEventListener("visibilitychange", wake);
    addEventListener("pageshow", wake);
    addEventListener("online", wake);
    if (record && isValidName(record.displayName)) {
      this.ready();
      return;
    }
    this.render();
    replace(
      this.main,
      nameScreen(defaultName(navigator.userAgent), fitName, async (name) => {
        await this.store.create(name);
        this.ready();
      }),
    );
  }

  ready() {
    if (!this.store.persistent) this.notice.textContent = texts.privateBrowsing;
    this.state.screen = "pairing";
    this.render();
    this.connect();
  }

  // --- the stage and what is drawn from the state ---

  dispatch(event) {
    const before = this.state.stage;
    const stage = transition(before, event);
    if (stage === before) return;
    this.state.stage = stage;
    performance.mark?.(`tarnwick:stage:${stage}`);
    if (stage === "paired") this.state.screen = "app";
    else if (stage === "held" && this.state.heldBy === "replaced") {
      // the screen stays as it was, with the banner saying why nothing moves
    } else if (!wantsConnection(stage) || stage === "untrusted" || stage === "pairing") this.state.screen = "pairing";
    if (this.state.questions.connected !== isPaired(stage)) {
      this.state.questions.connected = isPaired(stage);
      this.approvalsChanged(false);
    }
    this.render();
  }

  render() {
    const { stage, failures, heldBy, screen, pairing, thread } = this.state;
    const banner = screen === "name" ? "" : stage === "held" ? (heldBy === "replaced" ? texts.replaced : "")
      : stage === "connecting" && failures ? banners.reconnecting : banners[stage];
    if (banner !== this.bannerText) {
      this.bannerText = banner;
      this.banner.textContent = banner;
      this.banner.hidden = !banner;
      this.banner.dataset.state = isPaired(stage) ? "ok" : "busy";
    }
    if (screen === "pairing") {
      this.pairingScreen.render({
        code: stage === "pairing" ? pairing.code : "",
        text: this.pairingText(),
        error: stage === "held" || stage === "untrusted" ? pairing.error : "",
        offerCode: stage === "held" || stage === "forgotten" || (stage === "untrusted" && !!pairing.error),
      });
    }
    const shown = screen === "app" ? (thread ? "thread" : "threads") : screen;
    if (shown === "thread") this.threadView.render(thread, isPaired(stage));
    if (shown !== this.shown && shown !== "name") {
      this.shown = shown;
      ({ pairing: this.pairingScreen, threads: this.threadsScreen, thread: this.threadView })[shown].show(this.main);
    }
  }

  pairingText() {
    const { stage, pairing } = this.state;
    if (stage === "forgotten") return texts.forgotten;
    if (stage === "pairing") return pairing.bySecret ? texts.bySecret : pairing.code ? texts.compare : texts.askingCode;
    if (stage === "held" || (stage === "untrusted" && pairing.error)) return "";
    return stage === "untrusted" ? texts.askingCode : texts.connecting;
  }

  // --- the connection ---

  connect() {
    clearTimeout(this.timer);
    this.timer = null;
    if (this.socket) return;
    this.dispatch("connect");
    const record = this.store.record;
    let socket;
    try {
      socket = new WebSocket(`wss://${location.host}${sessionPath(record.displayName)}`, [subprotocol]);
    } catch {
      this.lost(null);
      return;
    }
    socket.binaryType = "arraybuffer";
    const identity = {
      deviceID: record.deviceID,
      displayName: record.displayName,
      privateKey: record.privateKey,
      publicKey: record.publicKeyText,
    };
    const session = new BridgeSession(identity, (text) => socket.send(text), this.listener(socket), {
      pinnedKey: record.paired ? record.bridgeKey : null,
    });
    this.socket = socket;
    this.session = session;
    const decoder = new TextDecoder();
    socket.onopen = () => {
      if (this.socket !== socket) return;
      if (socket.protocol !== subprotocol) session.refuse(texts.noV2);
      else this.dispatch("opened");
    };
    socket.onmessage = (event) => {
      if (this.session !== session) return;
      session.receive(typeof event.data === "string" ? event.data : decoder.decode(event.data));
    };
    socket.onclose = (event) => this.closed(socket, event.code);
  }

  // Codex's questions stay: the bridge keeps them open and offers them again on the next
  // session, or says there that they were settled.
  closed(socket, code) {
    if (this.socket !== socket) return;
    const session = this.session;
    this.drop();
    if (code === closeCodes.forgotten) {
      this.forgotten();
    } else if (code === closeCodes.replaced) {
      // Another tab or window of this browser took over; this one comes back when looked at.
      this.state.heldBy = "replaced";
      this.dispatch("replaced");
    } else {
      this.lost(session);
    }
  }

  lost(session) {
    if (!session?.proven) this.state.failures++;
    if (this.state.stage === "pairing") this.hold(texts.ended);
    this.dispatch(this.state.failures >= unreachableAfter ? "unreachable" : "lost");
    if (!wantsConnection(this.state.stage)) return;
    const delay = Math.min(maxDelay, 1000 * 2 ** Math.min(this.state.failures, 5)) * (0.75 + Math.random() / 2);
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.connect(), delay);
  }

  // The page became visible again (a phone's screen was unlocked): a connection at once, or,
  // with one that seems open, proof that it still is and the open thread read again.
  wake() {
    if (!this.store.record || this.state.screen === "name") return;
    if (this.state.stage === "held" && this.state.heldBy !== "replaced") return;
    if (this.state.stage === "forgotten") return;
    if (this.state.stage === "held") this.state.heldBy = "";
    if (!this.socket) {
      this.connect();
    } else if (isPaired(this.state.stage)) {
      this.checkAlive();
      if (this.state.thread) this.rereadThread();
    }
  }

  // A phone that slept may hold a connection that is long dead: one that does not answer a
  // ping soon is replaced.
  checkAlive() {
    const socket = this.socket;
    const timer = setTimeout(() => {
      if (this.socket !== socket) return;
      // A dead connection may take long to report its close: go on without waiting for it.
      this.closed(socket, 0);
      socket.close();
      this.connect();
    }, aliveTimeout);
    this.session.ping().then(() => clearTimeout(timer), () => clearTimeout(timer));
  }

  // Forgets this connection without a word to anyone.
  drop() {
    const socket = this.socket;
    this.socket = null;
    this.session?.closed();
    this.session = null;
    clearTimeout(this.timer);
    this.timer = null;
    return socket;
  }

  // Ends this connection; the page does not come back by itself.
  hold(why) {
    this.state.heldBy = why;
    this.state.pairing.error = why;
    this.drop()?.close();
  }

  listener(socket) {
    const current = (work) => (...args) => this.socket === socket && work(...args);
    return {
      onUntrusted: current(() => this.untrusted()),
      onCode: current((code) => {
        this.state.pairing.code = code;
        this.render();
      }),
      onAccepted: current((offer) => this.accepted(offer)),
      onRejected: current(() => {
        const why = this.state.pairing.bySecret ? texts.badSecret : texts.rejected;
        if (this.state.pairing.bySecret) secret = null;
        this.hold(why);
        this.dispatch("rejected");
      }),
      onForgotten: current(() => this.forgotten()),
      onNotPaired: current(() => this.notPaired()),
      onRefused: current((reason) => {
        this.hold(reason);
        this.dispatch("refused");
      }),
      onProblem: (text) => console.warn(text),
      onEvent: current((method, params) => this.event(method, params)),
      onServerRequest: current((id, method, body) => this.asked(id, method, body)),
      onSettled: current((id, body) => this.state.questions.settled(id, body) && this.approvalsChanged(false)),
      onAnswerRefused: current((id, text) => this.state.questions.refused(id, text) && this.approvalsChanged(false)),
      onCeiling: current((ceiling) => this.threadsScreen.setCeiling(ceiling)),
    };
  }

  untrusted() {
    this.state.failures = 0;
    this.state.pairing = { code: "", bySecret: false, error: "" };
    if (this.store.record.paired && !secret) {
      // Paired before, and not trusted now: forgotten while this page was away.
      this.forgotten();
      return;
    }
    this.dispatch("notTrusted");
    if (secret) {
      this.state.pairing.bySecret = true;
      this.session.pairWithSecret(secret);
    } else {
      this.session.pairWithCode();
    }
    this.dispatch("pair");
  }

  async accepted(offer) {
    // The bridge offers its open questions right after this; any it does not offer before the
    // answer to this ping were settled while this page was away.
    const { questions } = this.state;
    questions.reconnected();
    const session = this.session;
    session.ping().then(() => {
      if (this.session !== session) return;
      questions.sweep();
      this.approvalsChanged(false);
    }, () => {});
    this.state.failures = 0;
    this.state.heldBy = "";
    this.state.pairing = { code: "", bySecret: false, error: "" };
    secret = null;
    const thread = this.state.thread;
    if (thread) Object.assign(thread, { error: "", resumed: false }); // what failed while away is no news now
    this.dispatch("accepted");
    const record = this.store.record;
    if (!record.paired || record.bridgeKey !== offer.publicKey) {
      await this.store.update({ paired: true, bridgeKey: offer.publicKey });
    }
    if (thread) this.rereadThread();
    else this.loadThreads();
  }

  // Shown at once; the device record follows.
  forgotten() {
    this.drop()?.close();
    this.state.questions.clear();
    this.approvalsChanged(false);
    this.dispatch("forgotten");
    this.store.update({ paired: false, bridgeKey: null });
  }

  // The bridge no longer takes this session's requests: pairing is offered on this connection.
  notPaired() {
    this.state.pairing = { code: "", bySecret: false, error: texts.notPaired };
    this.store.update({ paired: false, bridgeKey: null });
    this.dispatch("notPaired");
  }

  // "Pair with a code": the six digits, on this connection or a new one.
  async pairWithCode() {
    const { stage } = this.state;
    this.state.pairing = { code: "", bySecret: false, error: "" };
    if (stage === "untrusted" && this.session?.proven) {
      this.session.pairWithCode();
      this.dispatch("pair");
      return;
    }
    // A bridge with another key is only taken again through a new code the user compares.
    this.drop()?.close();
    this.state.failures = 0;
    this.state.heldBy = "";
    await this.store.update({ paired: false, bridgeKey: null });
    this.connect();
  }

  // --- Codex's questions ---

  asked(id, method, body) {
    if (!methods.has(method)) {
      this.session.answer(id, "decline"); // a question this page cannot show is not approved unseen
      return;
    }
    this.approvalsChanged(this.state.questions.offered(id, method, body));
  }

  answer(id, decision) {
    const { questions } = this.state;
    if (!questions.answering(id)) return;
    if (!this.session?.answer(id, decision)) questions.refused(id, texts.notConnected);
    this.approvalsChanged(false);
  }

  // Redraws the cards and tells the person how many questions wait: in the title, on the
  // app's badge, and with a buzz when one is new.
  approvalsChanged(fresh) {
    this.approvals.render();
    const open = this.state.questions.open;
    if (fresh) navigator.vibrate?.(200);
    if (open === this.counted) return;
    this.counted = open;
    document.title = open ? `(${open}) ${title}` : title;
    const badge = open ? navigator.setAppBadge?.(open) : navigator.clearAppBadge?.();
    badge?.catch?.(() => {});
  }

  threadName(threadId) {
    const thread = this.state.threads.find((t) => t.id === threadId);
    const name = (typeof thread?.name === "string" && thread.name) || (typeof thread?.preview === "string" && thread.preview);
    if (name) return name.length > 60 ? name.slice(0, 59) + "…" : name;
    return threadId.length > 8 ? threadId.slice(0, 8) + "…" : threadId || "(not named)";
  }

  // --- what Codex tells ---

  event(method, params) {
    const item = params?.item;
    const { files, threads, thread } = this.state;
    if ((method === "item/started" || method === "item/completed") && item?.type === "fileChange") {
      const changes = Array.isArray(item.changes) ? item.changes : [];
      files.set(
        item.id,
        changes.map((change) => ({
          path: String(change?.path ?? ""),
          kind: typeof change?.kind === "string" ? change.kind : String(change?.kind?.type ?? ""),
        })),
      );
      while (files.size > maxAnnouncedFileItems) files.delete(files.keys().next().value);
    }
    // A thread started here has no preview in the list yet: its first message names it.
    const said = item?.type === "userMessage" && Array.isArray(item.content)
      ? item.content.map((part) => (typeof part?.text === "string" ? part.text : "")).join(" ").trim() : "";
    const listed = said && threads.find((t) => t.id === params.threadId);
    if (listed && !listed.name && !listed.preview) {
      listed.preview = said;
      this.approvalsChanged(false);
    }
    if (thread && params?.threadId === thread.id) {
      if (said && !thread.title) thread.title = said.split("\n")[0];
      if (method === "turn/started") Object.assign(thread, { running: true, turnId: params.turn?.id ?? thread.turnId });
      if (method === "turn/completed") Object.assign(thread, { running: false, turnId: null });
      this.threadView.event(method, params);
      if (!/Delta$|\/delta$/.test(method)) this.render(); // streaming changes nothing the state holds
    }
    if (method === "thread/started" && this.state.screen === "app" && !thread) this.loadThreads();
  }

  request(method, params) {
    if (!isPaired(this.state.stage) || !this.session) return Promise.reject(new Error(texts.notConnected));
    return this.session.request(method, params);
  }

  // --- the threads and the open thread ---

  async loadThreads() {
    const list = this.request("thread/list", { limit: 50 });
    this.request("account/read", {}).then((result) => this.threadsScreen.setAccount(result), () => {});
    this.request("model/list", {}).then((result) => this.threadsScreen.setModels(result?.data ?? []), () => {});
    try {
      const result = await list;
      const threads = Array.isArray(result?.data) ? result.data : [];
      const when = (thread) => thread.updatedAt ?? thread.createdAt ?? 0;
      this.state.threads = [...threads].sort((a, b) => when(b) - when(a));
      this.threadsScreen.setThreads(this.state.threads);
      this.approvalsChanged(false);
    } catch (error) {
      this.threadsScreen.setThreads([], error.message);
    }
  }

  closeThread() {
    this.state.thread = null;
    this.render();
    this.loadThreads();
  }

  show(thread) {
    const name = typeof thread.name === "string" && thread.name ? thread.name : thread.preview;
    this.state.thread = { id: thread.id, title: typeof name === "string" ? name : "", turnId: null, running: false, error: "", resumed: false };
    this.state.screen = "app";
    this.threadView.load(thread);
    this.syncRunning(thread);
    this.render();
  }

  // A turn in progress in the history is the one Stop and Steer act on.
  syncRunning(thread) {
    const turns = Array.isArray(thread.turns) ? thread.turns : [];
    const active = turns.findLast?.((turn) => turn?.status === "inProgress");
    Object.assign(this.state.thread, { running: !!active, turnId: active ? String(active.id ?? "") : null });
  }

  async openThread(thread) {
    this.show(thread);
    const id = thread.id;
    try {
      const result = await this.resume(id);
      if (result?.thread && this.state.thread?.id === id) this.loaded(result.thread);
    } catch (error) {
      this.failed(id, error);
    }
  }

  // After a reconnect: everything that happened while away comes from the history. Resuming
  // also loads the thread again into an app-server that restarted meanwhile.
  async rereadThread() {
    const id = this.state.thread.id;
    let result = null;
    try {
      result = await this.resume(id);
    } catch {
      try {
        result = await this.request("thread/read", { threadId: id, includeTurns: true });
      } catch (error) {
        this.failed(id, error);
      }
    }
    if (result?.thread && this.state.thread?.id === id) this.loaded(result.thread);
  }

  loaded(thread) {
    this.threadView.load(thread);
    this.syncRunning(thread);
    if (!this.state.thread.title && typeof thread.preview === "string") this.state.thread.title = thread.preview;
    this.render();
    performance.mark?.("tarnwick:thread-shown");
  }

  failed(id, error) {
    if (this.state.thread?.id !== id) return;
    this.state.thread.error = error.message;
    this.render();
  }

  // Loads the thread into the app-server (it may have restarted since it last had it).
  async resume(threadId) {
    const result = await this.request("thread/resume", { threadId });
    if (this.state.thread?.id === threadId) this.state.thread.resumed = true;
    return result;
  }

  async startThread({ cwd, model, approvalPolicy, sandbox }) {
    const params = { approvalPolicy };
    if (cwd) params.cwd = cwd;
    if (model) params.model = model;
    if (sandbox) params.sandbox = sandbox;
    const result = await this.request("thread/start", params);
    if (!result?.thread?.id) throw new Error("The computer did not name the new thread.");
    this.state.threads = [result.thread, ...this.state.threads.filter((t) => t.id !== result.thread.id)];
    this.threadsScreen.toggleForm(false);
    this.show(result.thread);
    this.state.thread.resumed = true;
  }

  input(text) {
    return [{ type: "text", text, text_elements: [] }];
  }

  async sendTurn(text) {
    const thread = this.state.thread;
    Object.assign(thread, { running: true, turnId: null, error: "" });
    this.render();
    try {
      if (!thread.resumed) await this.resume(thread.id);
      const result = await this.request("turn/start", { threadId: thread.id, input: this.input(text) });
      if (thread.running && !thread.turnId && result?.turn?.id) thread.turnId = result.turn.id;
      this.render();
      return true;
    } catch (error) {
      Object.assign(thread, { running: false, turnId: null, error: error.message });
      this.render();
      return false;
    }
  }

  async steer(text) {
    const thread = this.state.thread;
    try {
      await this.request("turn/steer", { threadId: thread.id, expectedTurnId: thread.turnId, input: this.input(text) });
      return true;
    } catch (error) {
      this.failed(thread.id, error);
      return false;
    }
  }

  async stop() {
    const thread = this.state.thread;
    try {
      await this.request("turn/interrupt", { threadId: thread.id, turnId: thread.turnId });
    } catch (error) {
      this.failed(thread.id, error);
    }
  }
}

new TrustPanel(document.getElementById("trust")).start();
new Cockpit().start().catch((error) => {
  replace(document.getElementById("app"), h("p", { class: "error", role: "alert" }, "This page could not start: " + error.message));
});
