// Test doubles: a fake WhatsApp socket that emits the library's events and
// records what the bridge asks of it, a fake Talmo on loopback, and polling.
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { createLogger } from '../src/log.js';

export class FakeSocket {
  constructor({ number = '4915123456789', lid = '99887766@lid', registered = true } = {}) {
    this.ev = new EventEmitter();
    // The server's ack of each sent message, as the library's socket emits it
    // (Socket/socket.js, onMessageReceived; the shape is handleBadAck's in
    // Socket/messages-recv.js). `ack`: {} acks, {error: '463'} refuses, null never acks.
    this.ws = new EventEmitter();
    this.ack = {};
    this.user = { id: `${number}:7@s.whatsapp.net`, lid: `${lid.split('@')[0]}:7@lid` };
    // A paired session's credentials carry `account`, written when WhatsApp confirms a pairing.
    this.authState = { creds: registered ? { registered, me: { id: this.user.id }, account: { details: 'x' } } : { registered } };
    this.lidStore = new Map();
    this.signalRepository = { lidMapping: { getPNForLID: async (lid) => this.lidStore.get(lid) ?? null } };
    this.sent = [];
    this.presences = [];
    this.pairRequests = [];
    this.ended = false;
  }
  async sendMessage(jid, content, options) {
    this.sent.push({ jid, content, options });
    if (this.ack) setImmediate(() => this.ackMessage(options?.messageId, this.ack));
    return { key: { id: options?.messageId, remoteJid: jid, fromMe: true } };
  }
  ackMessage(id, { error } = {}) {
    const attrs = { class: 'message', id, from: this.sent.at(-1)?.jid, t: '1765000000' };
    if (error !== undefined) attrs.error = error;
    this.ws.emit('CB:ack,class:message', { tag: 'ack', attrs });
  }
  async sendPresenceUpdate(state, jid) { this.presences.push({ state, jid }); }
  // As the library does: the number is written to the credentials and saved before anything is sent.
  async requestPairingCode(number) {
    this.pairRequests.push(number);
    this.authState.creds.me = { id: `${number}@s.whatsapp.net`, name: '~' };
    this.ev.emit('creds.update', this.authState.creds);
    return 'ABCD1234';
  }
  end() { this.ended = true; }
  open() { this.ev.emit('connection.update', { connection: 'open' }); }
  close(statusCode, message = 'closed') {
    const error = Object.assign(new Error(message), { output: { statusCode } });
    this.ev.emit('connection.update', { connection: 'close', lastDisconnect: { error, date: new Date() } });
  }
  deliver(messages, type = 'notify') { this.ev.emit('messages.upsert', { messages, type }); }
}

let counter = 0;
// An incoming message as the library reports it.
export function incoming({ from, text, message, fromMe = false, id = `MSG${++counter}`, alt } = {}) {
  const key = { remoteJid: from, fromMe, id };
  if (alt) key.remoteJidAlt = alt;
  return { key, message: message ?? { conversation: text }, messageTimestamp: Math.floor(Date.now() / 1000) };
}

// A fake Talmo: records webhook calls; `answer(req)` gives [status, body] or 'drop'.
export async function fakeTalmo(answer = () => [200, { status: 'received' }]) {
  const calls = [];
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const call = { path: req.url, headers: req.headers, body: Buffer.concat(chunks) };
      const [status, body] = fake.answer(call);
      if (status !== 0) calls.push(call);
      if (status === 0) { req.socket.destroy(); return; }
      res.writeHead(status, { 'Content-Type': 'application/json' });
      res.end(JSON.stringify(body));
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const fake = {
    calls, answer, server,
    url: `http://127.0.0.1:${server.address().port}`,
    texts: () => calls.filter((c) => c.path === '/whatsapp/incoming/text').map((c) => JSON.parse(c.body)),
    close: () => new Promise((r) => { server.close(r); server.closeAllConnections(); }),
  };
  return fake;
}

export function tempHome() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'talmo-bridge-test-'));
}

export function testConfig(home, { talmoUrl = 'http://127.0.0.1:9', owner = '4915123456789', token = '' } = {}) {
  return {
    home, dataDir: path.join(home, 'whatsapp'), listenHost: '127.0.0.1', listenPort: 0,
    talmoUrl, masterNumber: `+${owner}`, ownerDigits: owner, token, logLevel: 'debug',
  };
}

// The bridge's dependencies around fake sockets; `sockets` lists every socket made.
export function fakeDeps(extra = {}) {
  const records = [];
  const sockets = [];
  const deps = {
    logger: createLogger({ records }),
    makeSocket: async ({ sessionDir }) => {
      const socket = (extra.socketFor ?? (() => new FakeSocket()))(sockets.length);
      sockets.push(socket);
      return { socket, saveCreds: async () => fs.writeFileSync(path.join(sessionDir, 'creds.json'), '{}') };
    },
    downloadMedia: async (message) => Buffer.from(`OggS-${message.key.id}`),
    showQr: async () => {},
    reconnectInitialMs: 5,
    reconnectMaxMs: 20,
    retryInitialMs: 5,
    retryMaxMs: 20,
    ...extra,
  };
  return { deps, records, sockets, lines: (level) => records.filter((r) => r.level === level).map((r) => r.message) };
}

// Polls `check` until it returns a truthy value or `ms` pass.
export async function until(check, ms = 3000, what = 'condition') {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 5));
  }
}
