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
import { classify, DOCUMENT_MAX_BYTES, DOWNLOADED } from './messages.js';
import { halfPaired, moveAside } from './session.js';
import { TalmoQueue } from './talmo_queue.js';

// WhatsApp's close codes that matter here.
export const LOGGED_OUT = 401;
const VERSION_REFUSED = 405;
const TIMED_OUT = 408;
const CONNECTION_REPLACED = 440;
const RESTART_REQUIRED = 515;

// WhatsApp keeps messages for an offline device for a while and delivers them
// on the next connection; past a day an answer would come too late to help.
const MAX_MESSAGE_AGE_S = 24 * 60 * 60;
// How long the owner's LID lookup may take before LID-only messages stop waiting for it.
const LID_LOOKUP_MS = 10000;

// What a network failure was, in the words the "cannot be reached" line uses.
const NETWORK_CAUSES = {
  ENOTFOUND: 'DNS lookup failed', EAI_AGAIN: 'DNS lookup failed', EAI_FAIL: 'DNS lookup failed',
  ECONNREFUSED: 'connection refused', ETIMEDOUT: 'connection timed out', ECONNRESET: 'connection reset',
  ENETUNREACH: 'network unreachable', EHOSTUNREACH: 'host unreachable', ENETDOWN: 'network down',
};

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

// A message timestamp in seconds: a number, or a protobuf Long from the library.
function seconds(timestamp) {
  const value = typeof timestamp?.toNumber === 'function' ? timestamp.toNumber() : Number(timestamp);
  return Number.isFinite(value) && value > 0 ? value : null;
}

function closeReason(error) {
  const status = error?.output?.statusCode ?? error?.statusCode;
  const cause = error?.data instanceof Error ? error.data : error?.cause ?? error;
  const code = cause?.code ?? error?.code;
  return { status, code, cause, message: error?.message ?? 'unknown reason' };
}

// The short text naming why WhatsApp could not be reached, or null when the
// close was not a network failure: "DNS lookup failed: ENOTFOUND
// web.whatsapp.com", "connection refused: ECONNREFUSED 127.0.0.1:443",
// "connection timed out: no answer in time".
export function unreachableCause(error) {
  const { status, code, cause, message } = closeReason(error);
  if (NETWORK_CAUSES[code]) {
    const where = code.startsWith('EAI') || code === 'ENOTFOUND'
      ? cause?.hostname
      : cause?.address && `${cause.address.includes(':') ? `[${cause.address}]` : cause.address}${cause.port ? `:${cause.port}` : ''}`;
    return `${NETWORK_CAUSES[code]}: ${code}${where ? ` ${where}` : ''}`;
  }
  // The library's own time-outs: the WebSocket handshake, or no answer to its hello.
  if (status === TIMED_OUT && /timed out/i.test(message))
    return `connection timed out: ${/^Timed Out$/i.test(message) ? 'no answer in time' : (cause?.message ?? message)}`;
  return null;
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
    this.queue = new TalmoQueue({ dir: config.dataDir, cap: deps.queueCap ?? 1000, logger: this.logger });
    this.forwarder = new Forwarder({
      queue: this.queue,
      talmoUrl: config.talmoUrl,
      token: config.token,
      logger: this.logger,
      fetchImpl: deps.fetchImpl,
      initialDelayMs: deps.retryInitialMs ?? 1000,
      maxDelayMs: deps.retryMaxMs ?? 60000,
    });

    this.socket = null;
    this.connected = false;
    this.state = 'connecting';  // what GET /status reports; see status()
    this.detail = null;         // the last error's short text
    this.ownNumber = null;    // digits of the linked account
    this.ownLid = null;
    this.ownerLid = null;         // the owner's LID, as the library maps the owner's number
    this.ownerLidLookup = null;   // settles once the lookup at open is answered or gave up
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
    if (this.queue.size) this.logger.info(`${this.queue.size} message(s) from before the restart are waiting for Talmo`);
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

  // `paired` means WhatsApp confirmed the pairing (creds.account, written by
  // both ways of pairing), not merely that a pairing code was asked for.
  // `state`: connecting, unreachable, waiting_for_pairing, connected,
  // logged_out, replaced or outdated.
  status() {
    const creds = this.socket?.authState?.creds;
    return {
      connected: this.connected,
      paired: Boolean(this.connected || creds?.account),
      number: this.ownNumber,
      state: this.state,
      detail: this.detail,
    };
  }

  async connect() {
    if (this.stopped) return;
    // The next socket reads the session from disk: what the last one wrote (the account, right
    // after a pairing) must be there first.
    await this.credsSaved;
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
    if (halfPaired(socket.authState?.creds)) {
      // Such credentials would log in instead of pairing; only this kind of session is ever reset here.
      socket.end?.(undefined);
      this.resetHalfPairing();
      return;
    }
    this.socket = socket;
    this.pairCodeAsked = false;
    const mine = (handler) => (event) => {
      if (this.socket === socket) handler(event);
    };
    socket.ev.on('creds.update', mine(() => {
      this.credsSaved = Promise.resolve(this.credsSaved).then(() => saveCreds())
        .catch((err) => this.logger.error(`Could not save the WhatsApp session: ${err.message}`));
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

  // A pairing that began but never finished (the code was not entered before
  // the QR references ran out, or the bridge stopped meanwhile): its session
  // is moved aside and pairing starts over on a fresh one.
  resetHalfPairing() {
    let where;
    try {
      where = moveAside(this.sessionDir, 'unfinished-pairing');
    } catch (err) {
      this.logger.error(`The WhatsApp pairing was not finished, and its session in ${this.sessionDir} could not be moved aside: ${err.message}`);
      this.scheduleReconnect();
      return;
    }
    this.logger.warning(`The WhatsApp pairing was not finished (the code was not entered in time, or the bridge stopped meanwhile), ` +
      `so its half-written session was moved to ${where}. Pair again: ${this.pairCode ? 'a new pairing code follows' : 'scan the new QR code that follows'} ` +
      '(WhatsApp → Linked devices → Link a device)');
    this.scheduleReconnect(0);
  }

  onConnectionUpdate(socket, update) {
    if (update.qr) this.onQr(socket, update.qr);
    if (update.connection === 'open') {
      this.state = 'connected';
      this.detail = null;
      this.onOpen(socket);
    }
    if (update.connection === 'close') this.onClose(update.lastDisconnect?.error);
  }

  async onQr(socket, qr) {
    this.state = 'waiting_for_pairing';
    if (this.pairCode) {
      if (this.pairCodeAsked) return;
      this.pairCodeAsked = true;
      try {
        const code = await socket.requestPairingCode(this.pairCode);
        const shown = String(code).length === 8 ? `${code.slice(0, 4)}-${code.slice(4)}` : code;
        this.logger.info(`Pairing code for ${this.pairCode}: ${shown} — on that phone open WhatsApp → Linked devices → Link a device → Link with phone number instead, and enter it`);
      } catch (err) {
        // Asked again with the next QR reference, or on the next connection.
        this.pairCodeAsked = false;
        this.detail = err.message;
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
    this.lookUpOwnerLid(socket);
    fs.rmSync(this.qrFile, { force: true });
    this.logger.success(this.selfChat
      ? `WhatsApp connected as the owner's own number ${this.ownNumber}: only the "message yourself" chat is served`
      : `WhatsApp connected as ${this.ownNumber ?? 'an unknown number'}: every private message goes to Talmo, which serves the owner only`);
  }

  onClose(error) {
    const wasConnected = this.connected;
    this.connected = false;
    if (this.stopped) return;
    const { status, message } = closeReason(error);
    const unreachable = unreachableCause(error);
    this.detail = status ? `status ${status}: ${message}` : message;
    if (status === LOGGED_OUT) {
      this.state = 'logged_out';
      fs.rmSync(this.sessionDir, { recursive: true, force: true });
      this.ownNumber = null;
      this.logger.error(`WhatsApp logged this bridge out, so its session in ${this.sessionDir} was removed. ` +
        'To pair again, scan the new QR code with WhatsApp → Linked devices → Link a device (or restart with --pair-code <number>)');
      this.reconnectDelayMs = this.reconnectInitialMs;
      this.scheduleReconnect(0);
      return;
    }
    if (status === CONNECTION_REPLACED) {
      // Not reconnecting (the two would take turns throwing each other out), but staying up, so
      // whatever supervises the bridge leaves Talmo alone.
      this.state = 'replaced';
      this.logger.error('Another WhatsApp Web session for this account took over (is a second bridge running?); not reconnecting. Stop the other one and restart this bridge');
      return;
    }
    if (status === RESTART_REQUIRED) {
      if (this.state !== 'logged_out') this.state = 'connecting';
      this.logger.info('WhatsApp asked for a restart of the connection (normal right after pairing); reconnecting');
      this.scheduleReconnect(0);
      return;
    }
    const delay = this.reconnectDelayMs;
    const seconds = Math.round(delay / 100) / 10;
    if (status === VERSION_REFUSED) {
      // Retried with the back-off, so that updating the bridge and restarting it is all it takes.
      if (this.state !== 'outdated')
        this.logger.error('WhatsApp refused this bridge\'s version of WhatsApp Web (status 405): the bridge must be updated. ' +
          'Run `git pull`, then `npm ci` in bridge/ (or install a newer release), and restart it; retrying meanwhile');
      else this.logger.debug(`WhatsApp still refuses this version; retrying in ${seconds} s`);
      this.state = 'outdated';
    } else if (unreachable) {
      this.state = 'unreachable';
      this.detail = unreachable;
      this.logger.warning(`WhatsApp cannot be reached (${unreachable}): check this machine's internet connection and DNS; retrying in ${seconds} s`);
    } else {
      // After a logout, "logged_out" stays until a new QR code or pairing code is on show.
      if (this.state !== 'logged_out') this.state = 'connecting';
      this.logger.warning(`The WhatsApp connection ${wasConnected ? 'closed' : 'could not be set up'} (${status ? `status ${status}: ` : ''}${message}); reconnecting in ${seconds} s`);
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

  // Asks the library for the LID of the owner's number (from its store, else
  // from WhatsApp), so a message from the owner that names only that LID is
  // still recognised. Messages needing it wait for the answer, a bounded time.
  lookUpOwnerLid(socket) {
    const owner = this.config.ownerDigits;
    const lidMapping = socket.signalRepository?.lidMapping;
    if (!owner || typeof lidMapping?.getLIDForPN !== 'function') return;
    const lookup = withTimeout(Promise.resolve().then(() => lidMapping.getLIDForPN(`${owner}@${PERSONAL}`)),
      LID_LOOKUP_MS, 'no answer in time');
    this.ownerLidLookup = lookup.then((found) => {
      if (this.socket !== socket) return;
      const lid = normalizeJid(found);
      if (!isLid(lid)) {
        this.logger.warning(`WhatsApp knows no LID for the owner's number ${owner}; messages from the owner that carry only a LID cannot be matched`);
        return;
      }
      this.ownerLid = lid;
      this.lids.set(lid, owner);
      this.logger.debug(`The owner's LID is ${lid}`);
    }).catch((err) => {
      this.logger.warning(`Could not look up the owner's LID (${err.message}); messages from the owner that carry only a LID may not be matched`);
    });
  }

  // The phone number's digits of a LID: the owner's LID, the mappings WhatsApp
  // announced, else the library's mapping store. Null when none knows it.
  async numberOfLid(socket, lid) {
    const jid = normalizeJid(lid);
    if (!this.lids.has(jid)) await this.ownerLidLookup;
    if (this.lids.has(jid)) return this.lids.get(jid);
    try {
      const pn = await socket.signalRepository?.lidMapping?.getPNForLID?.(jid);
      return phoneDigits(pn);
    } catch (err) {
      this.logger.debug(`LID lookup failed: ${err.message}`);
      return null;
    }
  }

  // The sender's phone digits of a message someone else sent, or null. Never a LID.
  // (On a message someone else sent, the alternate address is the sender's.)
  async senderOf(socket, key) {
    const chat = key.remoteJid;
    if (isPhoneJid(chat)) return phoneDigits(chat);
    if (!isLid(chat)) return null;
    return phoneDigits(key.remoteJidAlt) ?? (await this.numberOfLid(socket, chat));
  }

  // Whether the message's chat is the linked account's "message yourself"
  // chat: the chat itself is its phone number or its LID. The alternate
  // address never decides it: on a message the account sent, that is the
  // sender's own other address, so it would turn the owner's messages to
  // friends into notes to self.
  isOwnChat(key) {
    const chat = normalizeJid(key.remoteJid);
    return [`${this.ownNumber}@${PERSONAL}`, this.ownLid, this.ownerLid].filter(Boolean).includes(chat);
  }

  // Live messages come as "notify"; what WhatsApp kept while the bridge was
  // offline, and the account's own sends, come as "append". Both go through
  // the same filters; history sync has an event of its own.
  async onMessages(socket, { messages, type }) {
    if (type !== 'notify' && type !== 'append') {
      this.logger.debug(`Ignored ${messages?.length ?? 0} message(s) of a "${type}" update`);
      return;
    }
    let stale = 0;
    for (const message of messages ?? []) {
      if ((await this.onMessage(socket, message)) === 'stale') stale++;
    }
    if (stale) this.logger.warning(`${stale} message(s) older than 24 hours were delivered late by WhatsApp and not forwarded`);
    this.forwarder.kick();
  }

  // Whether a message is too old to answer now.
  isStale(message) {
    const sent = seconds(message.messageTimestamp);
    return sent !== null && Date.now() / 1000 - sent > MAX_MESSAGE_AGE_S;
  }

  // Handles one message; answers 'stale' when it was left out for its age.
  async onMessage(socket, message) {
    const key = message?.key;
    const id = key?.id;
    if (!id || typeof key.remoteJid !== 'string') return;
    if (this.sentIds.has(id) || this.queue.has(id)) {
      this.logger.debug(`Ignored message ${id}: already handled`);
      return;
    }
    const kind = chatKind(key.remoteJid);
    if (kind !== 'person') {
      this.logger.debug(`Ignored a message from a ${kind}`);
      return;
    }
    if (!message.message) {
      // A notification (or a message that failed to decrypt: the library asks
      // for it again, and it comes back under the same id, so it is not remembered).
      this.logger.debug(`Ignored a notification without content (${message.messageStubType ?? 'no type'})`);
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
    if (this.isStale(message)) return 'stale';
    const content = classify(message);
    if (content.kind === 'ignored') {
      this.logger.info(`Ignored ${content.what} from ${sender}: not a message to answer`);
      return;
    }
    if (content.kind === 'other') {
      this.logger.info(`A message of kind ${content.type} from ${sender} queued for Talmo, which cannot read it yet and says so`);
      this.queue.addOther({ id, sender, type: content.type });
      return;
    }
    if (content.kind === 'text') {
      this.logger.info(`Text message from ${sender} queued for Talmo${content.quoted ? ' (a reply to an earlier message)' : ''}`);
      this.logger.debug(`Text from ${sender}: ${content.text}`);
      this.queue.addText({ id, sender, text: content.text, quoted: content.quoted });
      return;
    }
    const { word: what, failedKind } = DOWNLOADED[content.kind];
    const tooLarge = (bytes) => {
      this.logger.info(`A document of ${bytes} bytes from ${sender} is over the ${DOCUMENT_MAX_BYTES}-byte limit; Talmo asks for a smaller one`);
      this.queue.addOther({ id, sender, type: 'document_too_large' });
    };
    // The size the sender's phone stated spares a download that would be refused anyway.
    if (content.kind === 'document' && content.declaredBytes > DOCUMENT_MAX_BYTES) return tooLarge(content.declaredBytes);
    let bytes;
    try {
      // Bounded, so one stuck download cannot hold up every later message.
      bytes = await withTimeout(this.downloadMedia(message, socket), this.downloadTimeoutMs, 'the download took too long');
      if (!bytes?.length) throw new Error('the download was empty');
    } catch (err) {
      // Talmo still tells the owner, who can send it again.
      this.logger.error(`Could not download the ${what} from ${sender}: ${err.message}`);
      this.queue.addOther({ id, sender, type: failedKind });
      return;
    }
    const { quoted, caption, mimetype, fileName } = content;
    if (content.kind === 'document' && bytes.length > DOCUMENT_MAX_BYTES) return tooLarge(bytes.length);
    this.logger.info(`${what[0].toUpperCase()}${what.slice(1)} from ${sender} (${bytes.length} bytes) queued for Talmo`);
    if (content.kind === 'voice') this.queue.addAudio({ id, sender, audio: bytes, quoted });
    else if (content.kind === 'image') this.queue.addImage({ id, sender, bytes, mimetype, caption, quoted });
    else this.queue.addDocument({ id, sender, bytes, mimetype, fileName, caption, quoted });
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
    this.queue.remember(messageId);
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
