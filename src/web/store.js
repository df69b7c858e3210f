// Who this phone is, kept in IndexedDB: its device ID, display name and a P-256 key whose
// private half WebCrypto will not export, plus the bridge key it paired with.

import { generateDeviceKey, publicKeyText } from "./crypto.js";
import { newDeviceID } from "./protocol.js";

const databaseName = "tarnwick";
const storeName = "device";
const recordKey = "self";

function promised(request) {
  return new Promise((resolve, reject) => {
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
  });
}

async function openDatabase() {
  const request = indexedDB.open(databaseName, 1);
  request.onupgradeneeded = () => request.result.createObjectStore(storeName);
  return promised(request);
}

async function transact(mode, work) {
  const database = await openDatabase();
  try {
    const transaction = database.transaction(storeName, mode);
    const done = new Promise((resolve, reject) => {
      transaction.oncomplete = resolve;
      transaction.onabort = transaction.onerror = () => reject(transaction.error);
    });
    const result = await promised(work(transaction.objectStore(storeName)));
    await done;
    return result;
  } finally {
    database.close();
  }
}

// The device record and whether it survives this visit. `persistent` is false when the browser
// refused to store a CryptoKey (private browsing) or has no IndexedDB at all.
export class DeviceStore {
  constructor() {
    this.record = null;
    this.persistent = true;
  }

  async load() {
    try {
      this.record = (await transact("readonly", (store) => store.get(recordKey))) ?? null;
    } catch {
      this.persistent = false;
      this.record = null;
    }
    return this.record;
  }

  // A new identity under `displayName`, kept in memory first and then stored when possible.
  async create(displayName) {
    const keys = await generateDeviceKey();
    this.record = {
      deviceID: newDeviceID(),
      displayName,
      privateKey: keys.privateKey,
      publicKey: keys.publicKey,
      publicKeyText: await publicKeyText(keys.publicKey),
      bridgeKey: null,
      paired: false,
    };
    await this.save();
    navigator.storage?.persist?.().catch(() => {});
    return this.record;
  }

  async update(changes) {
    Object.assign(this.record, changes);
    await this.save();
  }

  async save() {
    if (!this.persistent) return;
    try {
      await transact("readwrite", (store) => store.put(this.record, recordKey));
    } catch {
      // DataCloneError where CryptoKeys cannot be stored: this visit keeps the key in memory.
      this.persistent = false;
    }
  }
}
