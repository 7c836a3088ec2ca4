// The bridge between one WhatsApp account and Talmo: keeps the WhatsApp
// connection up, queues the messages meant for Talmo, and sends Talmo's
// replies and typing indicators.
//
// The WhatsApp socket comes from `makeSocket`, so tests drive the bridge with
// a fake that emits the library's events.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { chatKind, isLid, isPhoneJid, normalizeJid, phoneDigits, PERSONAL } from './addresses.js';
import { Forwarder } from './forwarder.js';
import { libraryLogger } from './log.js';
import { ConfirmedIds } from './confirmed.js';
import { classify } from './messages.js';
import { Outbox } from './outbox.js';

// WhatsApp's close codes that matter here.
export const LOGGED_OUT = 401;
const CONNECTION_REPLACED = 440;
const RESTART_REQUIRED = 515;

const NETWORK_CODES = new Set(['ENOTFOUND', 'EAI_AGAIN', 'ECONNREFUSED', 'ECONNRESET', 'ETIMEDOUT', 'ENETUNREACH', 'EHOSTUNREACH']);

// How long one /send may take in all: Talmo's client gives up after 20 s.
const SEND_TIMEOUT_MS = 15000;
// Sends whose ack is still awaited, answered or not.
const AWAITED_ACKS = 1000;

// The WhatsApp message id of Talmo's `id`: the same id always gives the
// same message id, in the library's own shape ("3EB0" + 36 hex digits).
export function messageIdOf(id) {
  return `3EB0${crypto.createHash('sha256').update(id).digest().subarray(0, 18).toString('hex').toUpperCase()}`;
}

function unconfirmed() {
  return Object.assign(new Error('WhatsApp did not confirm the message'), { status: 504 });
}

export const PRESENCE_STATES = ['available', 'unavailable', 'composing', 'recording', 'paused'];

function mkdirPrivate(dir) {
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  fs.chmodSync(dir, 0o700);
}

function withTimeout(promise, ms, why) {
  let timer;
  const timeout = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(why)), ms); });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

function closeReason(error) {
  const status = error?.output?.statusCode ?? error?.statusCode;
  const code = error?.cause?.code ?? error?.code ?? error?.data?.code;
  return { status, code, message: error?.message ?? 'unknown reason' };
}

export class Bridge {
  // config: as loadConfig() returns it. deps: makeSocket({sessionDir, logger})
  // → Promise<{socket, saveCreds}>; downloadMedia(message, socket) →
  // Promise<Buffer>; showQr(qr, pngPath) → Promise; fetchImpl; timings.
  constructor(config, deps) {
    this.config = config;
    this.logger = deps.logger;
    this.makeSocket = deps.makeSocket;
    this.downloadMedia = deps.downloadMedia;
    this.showQr = deps.showQr ?? (async () => {});
    this.pairCode = deps.pairCode ?? null;
    this.reconnectInitialMs = deps.reconnectInitialMs ?? 2000;
    this.reconnectMaxMs = deps.reconnectMaxMs ?? 60000;
    this.downloadTimeoutMs = deps.downloadTimeoutMs ?? 120000;
    this.sessionDir = path.join(config.dataDir, 'session');
    this.qrFile = path.join(config.dataDir, 'qr.png');

    mkdirPrivate(config.dataDir);
    this.outbox = new Outbox({ dir: config.dataDir, cap: deps.queueCap ?? 1000, logger: this.logger });
    this.forwarder = new Forwarder({
      outbox: this.outbox,
      talmoUrl: config.talmoUrl,
      token: config.token,
      logger: this.logger,
      fetchImpl: deps.fetchImpl,
      initialDelayMs: deps.retryInitialMs ?? 1000,
      maxDelayMs: deps.retryMaxMs ?? 60000,
    });

    this.socket = null;
    this.connected = false;
    this.ownNumber = null;    // digits of the linked account
    this.ownLid = null;
    this.selfChat = false;    // linked to the owner's own number
    this.reconnectDelayMs = this.reconnectInitialMs;
    this.reconnectTimer = null;
    this.stopped = false;
    this.lids = new Map();    // LID user → phone digits, as announced
    this.incoming = Promise.resolve();  // messages are handled one after another, in order
    this.sentIds = new Set();
    this.confirmed = new ConfirmedIds({ dir: config.dataDir });
    this.sendTimeoutMs = deps.sendTimeoutMs ?? SEND_TIMEOUT_MS;
    this.inFlight = new Map();     // Talmo's id → the promise of its send
    this.awaitingAck = new Map();  // WhatsApp message id → {id, settle}, answered or not
  }

  async start() {
    if (this.outbox.size) this.logger.info(`${this.outbox.size} message(s) from before the restart are waiting for Talmo`);
    this.forwarder.kick();
    if (!this.config.ownerDigits)
      this.logger.warning("MASTER_NUMBER is not set in Talmo's configuration: every private message is forwarded and Talmo decides");
    await this.connect();
  }

  async stop() {
    this.stopped = true;
    clearTimeout(this.reconnectTimer);
    const socket = this.socket;
    this.socket = null;
    this.connected = false;
    try {
      socket?.end?.(undefined);
    } catch { /* closing anyway */ }
    await this.incoming;
    await this.forwarder.stop();
  }

  status() {
    const creds = this.socket?.authState?.creds;
    return {
      connected: this.connected,
      paired: Boolean(this.connected || creds?.registered || creds?.me?.id),
      number: this.ownNumber,
    };
  }

  async connect() {
    if (this.stopped) return;
    mkdirPrivate(this.sessionDir);
    let made;
    try {
      made = await this.makeSocket({ sessionDir: this.sessionDir, logger: libraryLogger(this.logger) });
    } catch (err) {
      this.logger.error(`Could not open the WhatsApp session in ${this.sessionDir}: ${err.message}`);
      this.scheduleReconnect();
      return;
    }
    if (this.stopped) {
      made.socket.end?.(undefined);
      return;
    }
    const { socket, saveCreds } = made;
    this.socket = socket;
    this.pairCodeAsked = false;
    const mine = (handler) => (event) => {
      if (this.socket === socket) handler(event);
    };
    socket.ev.on('creds.update', mine(() => {
      Promise.resolve(saveCreds()).catch((err) => this.logger.error(`Could not save the WhatsApp session: ${err.message}`));
    }));
    socket.ev.on('connection.update', mine((update) => this.onConnectionUpdate(socket, update)));
    // WhatsApp's server acks every message stanza; an ack from a socket since
    // replaced still tells that a text arrived.
    socket.ws?.on?.('CB:ack,class:message', (node) => this.onAck(node));
    socket.ev.on('lid-mapping.update', mine((mapping) => this.learnLid(mapping)));
    socket.ev.on('messages.upsert', mine((event) => {
      this.incoming = this.incoming.then(() => this.onMessages(socket, event)).catch((err) => {
        this.logger.error(`Could not handle an incoming message: ${err.message}`);
      });
    }));
  }

  scheduleReconnect(delayMs = this.reconnectDelayMs) {
    if (this.stopped) return;
    clearTimeout(this.reconnectTimer);
    this.reconnectTimer = setTimeout(() => this.connect(), delayMs);
    this.reconnectDelayMs = Math.min(this.reconnectDelayMs * 2, this.reconnectMaxMs);
  }

  onConnectionUpdate(socket, update) {
    if (update.qr) this.onQr(socket, update.qr);
    if (update.connection === 'open') this.onOpen(socket);
    if (update.connection === 'close') this.onClose(update.lastDisconnect?.error);
  }

  async onQr(socket, qr) {
    if (this.pairCode) {
      if (this.pairCodeAsked) return;
      this.pairCodeAsked = true;
      try {
        const code = await socket.requestPairingCode(this.pairCode);
        const shown = String(code).length === 8 ? `${code.slice(0, 4)}-${code.slice(4)}` : code;
        this.logger.info(`Pairing code for ${this.pairCode}: ${shown} — on that phone open WhatsApp → Linked devices → Link a device → Link with phone number instead, and enter it`);
      } catch (err) {
        this.logger.error(`Could not get a pairing code for ${this.pairCode}: ${err.message}`);
      }
      return;
    }
    try {
      await this.showQr(qr, this.qrFile);
      this.logger.info(`Scan the QR code above with WhatsApp → Linked devices → Link a device (also saved as ${this.qrFile})`);
    } catch (err) {
      this.logger.error(`Could not show the QR code: ${err.message}`);
    }
  }

  onOpen(socket) {
    this.connected = true;
    this.reconnectDelayMs = this.reconnectInitialMs;
    this.ownNumber = phoneDigits(socket.user?.id);
    this.ownLid = isLid(socket.user?.lid) ? normalizeJid(socket.user.lid) : null;
    this.selfChat = Boolean(this.ownNumber && this.ownNumber === this.config.ownerDigits);
    fs.rmSync(this.qrFile, { force: true });
    this.logger.success(this.selfChat
      ? `WhatsApp connected as the owner's own number ${this.ownNumber}: only the "message yourself" chat is served`
      : `WhatsApp connected as ${this.ownNumber ?? 'an unknown number'}: every private message goes to Talmo, which serves the owner only`);
  }

  onClose(error) {
    const wasConnected = this.connected;
    this.connected = false;
    if (this.stopped) return;
    const { status, code, message } = closeReason(error);
    if (status === LOGGED_OUT) {
      fs.rmSync(this.sessionDir, { recursive: true, force: true });
      this.ownNumber = null;
      this.logger.error(`WhatsApp logged this bridge out, so its session in ${this.sessionDir} was removed. ` +
        'To pair again, scan the new QR code with WhatsApp → Linked devices → Link a device (or restart with --pair-code <number>)');
      this.reconnectDelayMs = this.reconnectInitialMs;
      this.scheduleReconnect(0);
      return;
    }
    if (status === CONNECTION_REPLACED) {
      this.logger.error('Another WhatsApp Web session for this account took over (is a second bridge running?); not reconnecting. Stop the other one and restart this bridge');
      return;
    }
    if (status === RESTART_REQUIRED) {
      this.logger.info('WhatsApp asked for a restart of the connection (normal right after pairing); reconnecting');
      this.scheduleReconnect(0);
      return;
    }
    const delay = this.reconnectDelayMs;
    const seconds = Math.round(delay / 100) / 10;
    if (NETWORK_CODES.has(code) || (!wasConnected && status === undefined)) {
      this.logger.warning(`WhatsApp cannot be reached (${code ?? message}); retrying in ${seconds} s`);
    } else {
      this.logger.warning(`The WhatsApp connection closed (${status ? `status ${status}: ` : ''}${message}); reconnecting in ${seconds} s`);
    }
    this.scheduleReconnect(delay);
  }

  learnLid(mapping) {
    for (const pair of Array.isArray(mapping) ? mapping : [mapping]) {
      const lid = pair && normalizeJid(pair.lid);
      const digits = pair && phoneDigits(pair.pn);
      if (isLid(lid) && digits) this.lids.set(lid, digits);
    }
  }

  // The phone number's digits of a LID: the mappings WhatsApp announced, else
  // the library's mapping store. Null when neither knows it.
  async numberOfLid(socket, lid) {
    const jid = normalizeJid(lid);
    if (this.lids.has(jid)) return this.lids.get(jid);
    try {
      const pn = await socket.signalRepository?.lidMapping?.getPNForLID?.(jid);
      return phoneDigits(pn);
    } catch (err) {
      this.logger.debug(`LID lookup failed: ${err.message}`);
      return null;
    }
  }

  // The sender's phone digits, or null. Never a LID.
  async senderOf(socket, key) {
    const chat = key.remoteJid;
    if (isPhoneJid(chat)) return phoneDigits(chat);
    if (!isLid(chat)) return null;
    return phoneDigits(key.remoteJidAlt) ?? phoneDigits(key.senderPn) ?? (await this.numberOfLid(socket, chat));
  }

  isOwnChat(key) {
    const chat = normalizeJid(key.remoteJid);
    const alt = normalizeJid(key.remoteJidAlt);
    const mine = [`${this.ownNumber}@${PERSONAL}`, this.ownLid].filter(Boolean);
    return mine.includes(chat) || mine.includes(alt);
  }

  async onMessages(socket, { messages, type }) {
    if (type !== 'notify') {
      this.logger.debug(`Ignored ${messages?.length ?? 0} message(s) of a "${type}" update (history or own sends)`);
      return;
    }
    for (const message of messages ?? []) await this.onMessage(socket, message);
    this.forwarder.kick();
  }

  async onMessage(socket, message) {
    const key = message?.key;
    const id = key?.id;
    if (!id || typeof key.remoteJid !== 'string') return;
    if (this.sentIds.has(id) || this.outbox.has(id)) {
      this.logger.debug(`Ignored message ${id}: already handled`);
      return;
    }
    const kind = chatKind(key.remoteJid);
    if (kind !== 'person') {
      this.logger.debug(`Ignored a message from a ${kind}`);
      return;
    }
    let sender;
    if (this.selfChat) {
      if (!key.fromMe || !this.isOwnChat(key)) {
        this.logger.debug('Ignored a message outside the "message yourself" chat');
        return;
      }
      sender = this.ownNumber;
    } else {
      if (key.fromMe) {
        this.logger.debug('Ignored a message sent from this account');
        return;
      }
      sender = await this.senderOf(socket, key);
      if (!sender) {
        this.logger.warning(`A message from ${normalizeJid(key.remoteJid)} could not be matched to a phone number; not forwarded`);
        return;
      }
    }
    const content = classify(message.message);
    if (content.kind === 'ignored') {
      this.logger.debug(`Ignored ${content.what} from ${sender}`);
      return;
    }
    if (content.kind === 'text') {
      this.logger.info(`Text message from ${sender} queued for Talmo`);
      this.logger.debug(`Text from ${sender}: ${content.text}`);
      this.outbox.addText({ id, sender, text: content.text });
      return;
    }
    let audio;
    try {
      // Bounded, so one stuck download cannot hold up every later message.
      audio = await withTimeout(this.downloadMedia(message, socket), this.downloadTimeoutMs, 'the download took too long');
    } catch (err) {
      this.logger.error(`Could not download the voice note from ${sender}: ${err.message}`);
      return;
    }
    this.logger.info(`Voice note from ${sender} (${audio.length} bytes) queued for Talmo`);
    this.outbox.addAudio({ id, sender, audio });
  }

  // Sends `text` to the chat `to`; resolves once WhatsApp's server has
  // acknowledged it, within sendTimeoutMs in all. With Talmo's `id` the
  // message id is derived from it, an id confirmed before resolves at once
  // without sending, and an id in flight waits for that send's result.
  // Rejects with an error whose `status` is the answer for Talmo: 503 not
  // connected, 504 no ack in time, 422 refused by WhatsApp, 502 not written.
  async send(to, text, id) {
    const deadline = Date.now() + this.sendTimeoutMs;
    if (id !== undefined && this.confirmed.has(id)) {
      this.logger.info(`Message ${id} was delivered before; not sent again`);
      return;
    }
    if (id !== undefined && this.inFlight.has(id)) {
      await withTimeout(this.inFlight.get(id), deadline - Date.now(), 'unconfirmed')
        .catch((err) => { throw err.message === 'unconfirmed' ? unconfirmed() : err; });
      return;
    }
    if (!this.connected) throw Object.assign(new Error('WhatsApp is not connected'), { status: 503 });
    const sending = this.sendOnce(to, text, id, deadline);
    if (id === undefined) return sending;
    this.inFlight.set(id, sending);
    try {
      await sending;
    } finally {
      this.inFlight.delete(id);
    }
  }

  async sendOnce(to, text, id, deadline) {
    const socket = this.socket;
    const messageId = id === undefined ? `3EB0${crypto.randomBytes(18).toString('hex').toUpperCase()}` : messageIdOf(id);
    // Known before WhatsApp can echo it, so the bridge never takes its own reply for a message.
    this.sentIds.add(messageId);
    if (this.sentIds.size > 5000) this.sentIds.delete(this.sentIds.values().next().value);
    this.outbox.remember(messageId);
    // Listening before the stanza goes out: the ack may come before sendMessage resolves.
    let settle;
    const acked = new Promise((resolve) => { settle = resolve; });
    this.awaitingAck.delete(messageId);
    this.awaitingAck.set(messageId, { id, settle });
    // Kept after a time-out, so a late ack still confirms the id; bounded.
    while (this.awaitingAck.size > AWAITED_ACKS) this.awaitingAck.delete(this.awaitingAck.keys().next().value);
    let timer;
    const timeout = new Promise((resolve) => { timer = setTimeout(() => resolve({ late: true }), Math.max(0, deadline - Date.now())); });
    try {
      const written = Promise.resolve(socket.sendMessage(to, { text }, { messageId })).then(() => acked);
      written.catch(() => {});  // a failure after the time-out has nobody to tell
      const result = await Promise.race([written, timeout]);
      if (result.late) throw unconfirmed();
      if (result.error) {
        throw Object.assign(new Error(`WhatsApp refused the message (error ${result.error})`), { status: 422 });
      }
    } finally {
      clearTimeout(timer);
    }
    this.logger.info(`Sent a message to ${phoneDigits(to) ?? to}`);
  }

  // The server's ack of a message stanza: {tag: 'ack', attrs: {class:
  // 'message', id, from, t, error?}} (Socket/messages-recv.js, handleBadAck).
  onAck(node) {
    const messageId = node?.attrs?.id;
    const waiting = messageId && this.awaitingAck.get(messageId);
    if (!waiting) return;
    this.awaitingAck.delete(messageId);
    const error = node.attrs.error;
    if (error === undefined) {
      if (waiting.id !== undefined) this.confirmed.add(waiting.id);
    } else {
      this.logger.error(`WhatsApp refused message ${messageId} (error ${error})`);
    }
    waiting.settle({ error });
  }

  async presence(to, state) {
    await this.socket.sendPresenceUpdate(state, to);
  }
}
