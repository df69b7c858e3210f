// The cockpit: keeps this phone's identity, holds one session to the bridge that served the
// page (reconnecting by itself), and shows pairing, the threads, one thread and Codex's
// questions.

import { ApprovalStore, methods } from "./approvals.js";
import { base64UrlDecode } from "./crypto.js";
import {
  BridgeSession,
  closeCodes,
  defaultName,
  fitName,
  isValidName,
  sessionPath,
  subprotocol,
} from "./protocol.js";
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

const texts = {
  paired: "Paired",
  waiting: "Waiting for the computer",
  connecting: "Connecting",
  reconnecting: "Reconnecting",
  unreachable: "The bridge is not reachable",
  forgotten: "This phone was forgotten by the computer. Pair it again.",
  privateBrowsing: "This browser will forget this phone when the page closes (private browsing).",
  badSecret: "The QR code is wrong, used or expired.",
  replaced: "Replaced by another session of this device.",
};
const title = "Tarnwick Bridge";

const maxDelay = 30000;
const unreachableAfter = 3; // failed attempts in a row before the banner says so
const maxAnnouncedFileItems = 256;
const aliveTimeout = 5000;

class Cockpit {
  constructor() {
    this.store = new DeviceStore();
    this.banner = document.getElementById("banner");
    this.notice = document.getElementById("notice");
    this.main = document.getElementById("app");
    this.socket = null;
    this.session = null;
    this.failures = 0;
    this.everAuthorised = false;
    this.hold = false; // no reconnecting until the user asks
    this.wantCode = false;
    this.timer = null;
    this.screen = null;
    this.files = new Map(); // file change item id -> [{path, kind}]
    this.threadList = []; // as thread/list last gave it, for the names of the cards' threads
    this.counted = 0; // open questions the title and the badge show
    this.pairing = new PairingScreen(() => this.pairWithCode());
    this.threads = new ThreadsScreen({
      open: (thread) => this.openThread(thread),
      start: (params) => this.startThread(params),
    });
    this.thread = new ThreadView({
      send: (text) => this.sendTurn(text),
      steer: (text) => this.steer(text),
      stop: () => this.stop(),
      back: () => this.showThreads(),
    });
    this.questions = new ApprovalStore();
    this.approvals = new ApprovalDesk(this.questions, {
      answer: (id, decision) => this.answer(id, decision),
      filesOf: (itemId) => this.files.get(itemId) ?? [],
      threadName: (threadId) => this.threadName(threadId),
      openThread: (threadId) => this.openThread(this.threadList.find((t) => t.id === threadId) ?? { id: threadId }),
    });
    document.getElementById("approvals").replaceWith(this.approvals.element);
  }

  async start() {
    const record = await this.store.load();
    this.wake = () => {
      if (document.visibilityState !== "visible" || this.hold || !this.store.record) return;
      if (!this.socket) {
        this.connect();
      } else if (this.session?.authorised) {
        this.checkAlive();
      }
    };
    document.addEventListener("visibilitychange", this.wake);
    addEventListener("pageshow", this.wake);
    addEventListener("online", this.wake);
    if (record && isValidName(record.displayName)) {
      this.ready();
      return;
    }
    this.status("");
    this.setScreen(
      nameScreen(defaultName(navigator.userAgent), fitName, async (name) => {
        await this.store.create(name);
        this.ready();
      }),
    );
  }

  ready() {
    if (!this.store.persistent) this.notice.textContent = texts.privateBrowsing;
    this.showPairing({ text: "Connecting to the computer…" });
    this.connect();
  }

  status(text) {
    this.banner.textContent = text;
    this.banner.hidden = !text;
    this.banner.dataset.state = text === texts.paired ? "ok" : "busy";
    const online = text === texts.paired;
    this.thread.setOnline(online);
    if (this.questions.connected !== online) {
      this.questions.connected = online;
      this.approvalsChanged(false);
    }
  }

  setScreen(element, name) {
    this.screen = name;
    replace(this.main, element);
  }

  showPairing(what) {
    this.pairing.show(what);
    if (this.screen !== "pairing") this.setScreen(this.pairing.element, "pairing");
  }

  // --- the connection ---

  connect() {
    clearTimeout(this.timer);
    this.timer = null;
    if (this.socket) return;
    const record = this.store.record;
    this.status(this.everAuthorised || this.failures ? texts.reconnecting : texts.connecting);
    if (this.failures >= unreachableAfter) this.status(texts.unreachable);
    let socket;
    try {
      socket = new WebSocket(`wss://${location.host}${sessionPath(record.displayName)}`, [subprotocol]);
    } catch {
      this.scheduleReconnect();
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
      if (socket.protocol !== subprotocol) {
        session.refuse("The bridge did not agree to handshake version 2.");
      }
    };
    socket.onmessage = (event) => {
      if (this.session !== session) return;
      session.receive(typeof event.data === "string" ? event.data : decoder.decode(event.data));
    };
    socket.onclose = (event) => this.closed(socket, session, event.code);
  }

  // Codex's questions stay: the bridge keeps them open and offers them again on the next
  // session, or says there that they were settled.
  closed(socket, session, code) {
    if (this.socket !== socket) return;
    const wasAuthorised = session.authorised;
    session.closed();
    this.socket = null;
    this.session = null;
    if (code === closeCodes.forgotten) {
      this.forgotten();
      return;
    }
    if (code === closeCodes.replaced) {
      // Another tab or window of this browser took over; this one comes back when looked at.
      this.status(texts.replaced);
      return;
    }
    if (!wasAuthorised && session.code) {
      // The request shown on the computer ended with this connection.
      this.hold = true;
      this.showPairing({ error: "The pairing request ended before the computer accepted it.", offerCode: true });
      this.status("");
      return;
    }
    if (this.hold) return;
    if (!session.proven) this.failures++;
    this.scheduleReconnect();
  }

  scheduleReconnect() {
    this.socket = null;
    const delay = Math.min(maxDelay, 1000 * 2 ** Math.min(this.failures, 5)) * (0.75 + Math.random() / 2);
    this.status(this.failures >= unreachableAfter ? texts.unreachable : texts.reconnecting);
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.connect(), delay);
  }

  // A phone that slept may hold a connection that is long dead: one that does not answer a
  // ping soon is replaced.
  checkAlive() {
    const socket = this.socket;
    const session = this.session;
    const timer = setTimeout(() => {
      if (this.socket !== socket) return;
      // A dead connection may take long to report its close: go on without waiting for it.
      socket.close();
      this.closed(socket, session);
    }, aliveTimeout);
    session.ping().then(() => clearTimeout(timer), () => clearTimeout(timer));
  }

  // Ends this connection and does not come back by itself.
  stopConnecting() {
    this.hold = true;
    clearTimeout(this.timer);
    const socket = this.socket;
    if (socket) {
      this.socket = null;
      this.session?.closed();
      this.session = null;
      socket.close();
    }
  }

  listener(socket) {
    const current = () => this.socket === socket;
    return {
      onAccepted: (offer) => current() && this.accepted(offer),
      onUntrusted: () => current() && this.untrusted(),
      onCode: (code) =>
        current() &&
        this.showPairing({
          code,
          text: "Check that the computer shows the same code, then press Pair there.",
        }),
      onRejected: () => current() && this.rejected(),
      onForgotten: () => current() && this.forgotten(),
      onRefused: (reason) => {
        if (!current()) return;
        this.stopConnecting();
        this.status("");
        this.showPairing({ error: reason, offerCode: true });
      },
      onProblem: (text) => console.warn(text),
      onEvent: (method, params) => current() && this.event(method, params),
      onServerRequest: (id, method, body) => current() && this.asked(id, method, body),
      onSettled: (id, body) => current() && this.questions.settled(id, body) && this.approvalsChanged(false),
      onAnswerRefused: (id, text) => current() && this.questions.refused(id, text) && this.approvalsChanged(false),
      onCeiling: (ceiling) => current() && this.threads.setCeiling(ceiling),
    };
  }

  async accepted(offer) {
    // The bridge offers its open questions right after this; any it does not offer before the
    // answer to this ping were settled while this page was away.
    this.questions.reconnected();
    const session = this.session;
    session.ping().then(() => {
      if (this.session !== session) return;
      this.questions.sweep();
      this.approvalsChanged(false);
    }, () => {});
    this.loadedThread = null;
    this.failures = 0;
    this.everAuthorised = true;
    this.wantCode = false;
    secret = null;
    this.status(texts.paired);
    this.thread.status.textContent = ""; // what failed while away is no news now
    const record = this.store.record;
    if (!record.paired || record.bridgeKey !== offer.publicKey) {
      await this.store.update({ paired: true, bridgeKey: offer.publicKey });
    }
    if (this.screen === "thread" && this.thread.threadID) {
      this.rereadThread();
    } else {
      this.showThreads();
    }
  }

  untrusted() {
    this.failures = 0;
    this.status(texts.waiting);
    if (secret && !this.wantCode) {
      this.usingSecret = true;
      this.showPairing({ text: "Pairing with the code this phone scanned…", offerCode: true });
      this.session.pairWithSecret(secret);
      return;
    }
    if (this.store.record.paired && !this.wantCode) {
      this.forgotten();
      return;
    }
    this.session.pairWithCode();
    this.showPairing({ text: "Asking the computer for a pairing code…" });
  }

  rejected() {
    if (this.usingSecret) {
      this.usingSecret = false;
      secret = null;
      this.showPairing({ error: texts.badSecret, offerCode: true });
    } else {
      this.showPairing({ error: "The computer did not pair this phone.", offerCode: true });
    }
    this.status("");
    this.stopConnecting();
  }

  async forgotten() {
    this.stopConnecting();
    this.questions.clear();
    this.approvalsChanged(false);
    await this.store.update({ paired: false, bridgeKey: null });
    this.status(texts.forgotten);
    this.showPairing({ text: "To use this phone again, pair it with a code and confirm on the computer.", offerCode: true });
  }

  // "Pair with a code": the user wants the six digits, on this connection or a new one.
  pairWithCode() {
    this.wantCode = true;
    this.usingSecret = false;
    this.hold = false;
    if (this.session?.proven && !this.session.authorised && !this.session.refused) {
      this.session.pairWithCode();
      this.showPairing({ text: "Asking the computer for a pairing code…" });
      return;
    }
    // A bridge with another key is only taken again through a new code the user compares.
    this.store.update({ paired: false, bridgeKey: null }).then(() => {
      this.stopConnecting();
      this.hold = false;
      this.failures = 0;
      this.showPairing({ text: "Connecting to the computer…" });
      this.connect();
    });
  }

  // --- Codex's questions ---

  asked(id, method, body) {
    if (!methods.has(method)) {
      this.session.answer(id, "decline"); // a question this page cannot show is not approved unseen
      return;
    }
    this.approvalsChanged(this.questions.offered(id, method, body));
  }

  answer(id, decision) {
    if (!this.questions.answering(id)) return;
    if (!this.session?.answer(id, decision)) this.questions.refused(id, "Not connected to the computer.");
    this.approvalsChanged(false);
  }

  // Redraws the cards and tells the person how many questions wait: in the title, on the
  // app's badge, and with a buzz when one is new.
  approvalsChanged(fresh) {
    this.approvals.render();
    const open = this.questions.open;
    if (fresh) navigator.vibrate?.(200);
    if (open === this.counted) return;
    this.counted = open;
    document.title = open ? `(${open}) ${title}` : title;
    const badge = open ? navigator.setAppBadge?.(open) : navigator.clearAppBadge?.();
    badge?.catch?.(() => {});
  }

  threadName(threadId) {
    const thread = this.threadList.find((t) => t.id === threadId);
    const name = (typeof thread?.name === "string" && thread.name) || (typeof thread?.preview === "string" && thread.preview);
    if (name) return name.length > 60 ? name.slice(0, 59) + "…" : name;
    return threadId.length > 8 ? threadId.slice(0, 8) + "…" : threadId || "(not named)";
  }

  event(method, params) {
    const item = params?.item;
    if ((method === "item/started" || method === "item/completed") && item?.type === "fileChange") {
      const changes = Array.isArray(item.changes) ? item.changes : [];
      this.files.set(
        item.id,
        changes.map((change) => ({
          path: String(change?.path ?? ""),
          kind: typeof change?.kind === "string" ? change.kind : String(change?.kind?.type ?? ""),
        })),
      );
      while (this.files.size > maxAnnouncedFileItems) this.files.delete(this.files.keys().next().value);
    }
    // A thread started here has no preview in the list yet: its first message names it.
    const listed = item?.type === "userMessage" && this.threadList.find((t) => t.id === params.threadId);
    if (listed && !listed.name && !listed.preview && Array.isArray(item.content)) {
      listed.preview = item.content.map((part) => (typeof part?.text === "string" ? part.text : "")).join(" ").trim();
      this.approvalsChanged(false);
    }
    this.thread.event(method, params);
    if (method === "thread/started" && this.screen === "threads") this.loadThreads();
  }

  request(method, params) {
    if (!this.session?.authorised) return Promise.reject(new Error("Not connected to the computer."));
    return this.session.request(method, params);
  }

  // --- screens ---

  showThreads() {
    this.setScreen(this.threads.element, "threads");
    this.loadThreads();
  }

  async loadThreads() {
    const list = this.request("thread/list", { limit: 50 });
    this.request("account/read", {}).then((result) => this.threads.setAccount(result), () => {});
    this.request("model/list", {}).then((result) => this.threads.setModels(result?.data ?? []), () => {});
    try {
      const result = await list;
      const threads = Array.isArray(result?.data) ? result.data : [];
      const when = (thread) => thread.updatedAt ?? thread.createdAt ?? 0;
      this.threadList = [...threads].sort((a, b) => when(b) - when(a));
      this.threads.setThreads(this.threadList);
      this.approvalsChanged(false);
    } catch (error) {
      this.threads.setThreads([], error.message);
    }
  }

  async openThread(thread) {
    this.thread.open(thread);
    this.setScreen(this.thread.element, "thread");
    try {
      const result = await this.resume(thread.id);
      if (result?.thread && this.thread.threadID === thread.id) this.thread.open(result.thread);
    } catch (error) {
      this.thread.status.textContent = error.message;
    }
  }

  // After a reconnect: everything that happened while away comes from the history. Resuming
  // also loads the thread again into an app-server that restarted meanwhile.
  async rereadThread() {
    const threadId = this.thread.threadID;
    let result = null;
    try {
      result = await this.resume(threadId);
    } catch {
      try {
        result = await this.request("thread/read", { threadId, includeTurns: true });
      } catch (error) {
        this.thread.status.textContent = error.message;
      }
    }
    if (result?.thread && this.thread.threadID === threadId) this.thread.load(result.thread);
  }

  // Loads the thread into the app-server (it may have restarted since it last had it).
  async resume(threadId) {
    const result = await this.request("thread/resume", { threadId });
    this.loadedThread = threadId;
    return result;
  }

  async startThread({ cwd, model, approvalPolicy, sandbox }) {
    const params = { approvalPolicy };
    if (cwd) params.cwd = cwd;
    if (model) params.model = model;
    if (sandbox) params.sandbox = sandbox;
    const result = await this.request("thread/start", params);
    if (!result?.thread?.id) throw new Error("The computer did not name the new thread.");
    this.loadedThread = result.thread.id;
    this.threadList = [result.thread, ...this.threadList.filter((t) => t.id !== result.thread.id)];
    this.threads.toggleForm(false);
    this.thread.open(result.thread);
    this.setScreen(this.thread.element, "thread");
  }

  input(text) {
    return [{ type: "text", text, text_elements: [] }];
  }

  async sendTurn(text) {
    const threadId = this.thread.threadID;
    this.thread.setRunning("");
    try {
      if (this.loadedThread !== threadId) await this.resume(threadId);
      const result = await this.request("turn/start", { threadId, input: this.input(text) });
      if (this.thread.threadID === threadId && this.thread.running && result?.turn?.id) {
        if (!this.thread.turnID) this.thread.setRunning(result.turn.id);
      }
      return true;
    } catch (error) {
      this.thread.setRunning(null);
      this.thread.status.textContent = error.message;
      return false;
    }
  }

  async steer(text) {
    try {
      await this.request("turn/steer", {
        threadId: this.thread.threadID,
        expectedTurnId: this.thread.turnID,
        input: this.input(text),
      });
      return true;
    } catch (error) {
      this.thread.status.textContent = error.message;
      return false;
    }
  }

  async stop() {
    try {
      await this.request("turn/interrupt", { threadId: this.thread.threadID, turnId: this.thread.turnID });
    } catch (error) {
      this.thread.status.textContent = error.message;
    }
  }
}

new TrustPanel(document.getElementById("trust")).start();
new Cockpit().start().catch((error) => {
  replace(document.getElementById("app"), h("p", { class: "error", role: "alert" }, "This page could not start: " + error.message));
});
