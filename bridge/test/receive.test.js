// What the bridge receives, built by the WhatsApp library's own code: stanzas
// with the attributes WhatsApp sends go through the library's decoder, its
// LID mapping store and its event buffer, wired as its socket wires them.
import assert from 'node:assert/strict';
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import { after, afterEach, test } from 'node:test';
import {
  addTransactionCapability, cleanMessage, decryptMessageNode, generateWAMessage, makeEventBuffer, proto, useMultiFileAuthState,
} from 'baileys';
import { makeLibSignalRepository } from 'baileys/lib/Signal/libsignal.js';
import { Bridge } from '../src/bridge.js';
import { fakeDeps, fakeTalmo, tempHome, testConfig, until } from './helpers.js';

const OWNER = '4915123456789';
const OWNER_PN = `${OWNER}@s.whatsapp.net`;
const OWNER_LID = '99887766554433@lid';
const ASSISTANT = '4930111222333';
const FRIEND_LID = '55554444333322@lid';
const quiet = { level: 'silent', child: () => quiet, trace() {}, debug() {}, info() {}, warn() {}, error() {}, fatal() {} };

const running = [];
const cleanups = [];
afterEach(async () => {
  while (running.length) await running.pop().stop();
  while (cleanups.length) await cleanups.pop()();
});
const homes = [];
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

// The parts of the library's socket that run without WhatsApp, put together as
// Socket/socket.js does (event buffer, transaction-capable keys, signal
// repository whose LID lookups go to `server`), over the real session files.
async function librarySocket(sessionDir, { number, lid, server }) {
  const { state } = await useMultiFileAuthState(sessionDir);
  state.creds.me = { id: `${number}:7@s.whatsapp.net`, lid: `${lid.split('@')[0]}:7@lid` };
  // A finished pairing, as pair-success leaves it (Socket/socket.js).
  state.creds.account = proto.ADVSignedDeviceIdentity.fromObject({ details: Buffer.from('paired') });
  const ev = makeEventBuffer(quiet);
  const keys = addTransactionCapability(state.keys, quiet, { maxCommitRetries: 1, delayBetweenTriesMs: 1 });
  const signalRepository = makeLibSignalRepository({ creds: state.creds, keys }, quiet, server);
  // As Socket/chats.js makes upsertMessage.
  const upsertMessage = ev.createBufferedFunction(async (msg, type) => ev.emit('messages.upsert', { messages: [msg], type }));
  const me = state.creds.me;
  return {
    ev, signalRepository, authState: { creds: state.creds, keys }, sent: [], ws: new EventEmitter(),
    get user() { return state.creds.me; },
    // As handleMessage in Socket/messages-recv.js, for one stanza.
    async receive(stanza) {
      const { fullMessage, decrypt } = decryptMessageNode(stanza, me.id, me.lid, signalRepository, quiet);
      await decrypt();
      cleanMessage(fullMessage, me.id, me.lid);
      await upsertMessage(fullMessage, stanza.attrs.offline ? 'append' : 'notify');
    },
    // Stanzas that arrive while the library buffers (the offline catch-up), released as one batch.
    async batch(stanzas) {
      ev.buffer();
      for (const s of stanzas) await this.receive(s);
      ev.flush();
    },
    // As sendMessage in Socket/messages-send.js with emitOwnEvents: the sent message comes back as "append".
    async sendMessage(jid, content, options) {
      const msg = await generateWAMessage(jid, content, { userJid: me.id, logger: quiet, ...options });
      this.sent.push(msg);
      process.nextTick(() => upsertMessage(msg, 'append'));
      // WhatsApp's server acks the stanza (Socket/messages-recv.js, handled as CB:ack,class:message).
      setImmediate(() => this.ws.emit('CB:ack,class:message', { tag: 'ack', attrs: { class: 'message', id: msg.key.id, from: jid } }));
      return msg;
    },
    open() { ev.emit('connection.update', { connection: 'open' }); },
    end() {},
  };
}

// WhatsApp's LID lookup: answers for the owner's number only, after `delayMs`.
function lidServer(delayMs = 0) {
  const asked = [];
  const server = async (jids) => {
    asked.push(...jids);
    await new Promise((r) => setTimeout(r, delayMs));
    return jids.filter((j) => j === OWNER_PN).map((pn) => ({ pn, lid: OWNER_LID }));
  };
  return { server, asked };
}

let counter = 0;
// A message stanza as WhatsApp sends it. Its content is carried in plain
// text, which the library decodes exactly as a decrypted one.
function stanza({ text, id = `3A${++counter}`, hoursAgo = 0, offline = false, ...attrs }) {
  const t = Math.floor(Date.now() / 1000 - hoursAgo * 3600);
  return {
    tag: 'message',
    attrs: { id, type: 'text', t: String(t), ...(offline ? { offline: '1' } : {}), ...attrs },
    content: [{ tag: 'plaintext', attrs: {}, content: proto.Message.encode({ conversation: text }).finish() }],
  };
}

async function startBridge({ number, lid, home = tempHome(), lookup = lidServer() }) {
  homes.push(home);
  const talmo = await fakeTalmo();
  cleanups.push(() => talmo.close());
  const sockets = [];
  const fake = fakeDeps({
    makeSocket: async ({ sessionDir }) => {
      const socket = await librarySocket(sessionDir, { number, lid, server: lookup.server });
      sockets.push(socket);
      return { socket, saveCreds: async () => {} };
    },
  });
  const bridge = new Bridge(testConfig(home, { talmoUrl: talmo.url, owner: OWNER }), fake.deps);
  running.push(bridge);
  await bridge.start();
  await until(() => sockets.length === 1, 3000, 'the socket');
  sockets[0].open();
  return { bridge, talmo, home, socket: sockets[0], lines: fake.lines, asked: lookup.asked };
}

const forwarded = (talmo) => talmo.texts().map((t) => `${t.sender}: ${t.message}`);

test('messages WhatsApp kept while the bridge was offline are forwarded like live ones, once each, across a restart', async () => {
  const first = await startBridge({ number: ASSISTANT, lid: '111222333@lid' });
  const from = OWNER_PN;
  await first.socket.receive(stanza({ from, text: 'offline alone', offline: true }));
  await first.socket.batch([
    stanza({ from, text: 'offline then', offline: true, id: 'TWICE' }),
    stanza({ from, text: 'live', id: 'TWICE' }),
    stanza({ from, text: 'too old', offline: true, hoursAgo: 25 }),
    stanza({ from, text: 'also too old', offline: true, hoursAgo: 30 }),
    stanza({ from, text: 'nearly a day', offline: true, hoursAgo: 23 }),
  ]);
  await first.socket.batch([stanza({ from, text: 'live first' }), stanza({ from, text: 'offline after', offline: true })]);
  await until(() => first.talmo.calls.length === 5, 3000, 'five webhook calls');
  assert.deepEqual(forwarded(first.talmo), ['offline alone', 'offline then', 'nearly a day', 'live first', 'offline after']
    .map((text) => `${OWNER}: ${text}`));
  assert.deepEqual(first.lines('warning'), ['2 message(s) older than 24 hours were delivered late by WhatsApp and not forwarded']);
  await until(() => first.bridge.queue.size === 0, 3000, 'the queue to drain');
  await first.bridge.stop();
  running.length = 0;

  // After a restart WhatsApp delivers one of them again from its offline queue.
  const second = await startBridge({ number: ASSISTANT, lid: '111222333@lid', home: first.home });
  await second.socket.batch([stanza({ from, text: 'live', id: 'TWICE', offline: true }), stanza({ from, text: 'new', offline: true })]);
  await until(() => second.talmo.calls.length === 1, 3000, 'the new message');
  await second.bridge.incoming;
  assert.deepEqual(forwarded(second.talmo), [`${OWNER}: new`]);
});

test("linked to the owner's number, only the chat with itself is served, whatever the sender's alternate address", async () => {
  const { bridge, socket, talmo } = await startBridge({ number: OWNER, lid: OWNER_LID });
  const lidChat = { from: OWNER_LID, addressing_mode: 'lid' };
  await bridge.send(OWNER_PN, 'a reply from Talmo');  // comes back as "append"
  for (const [text, attrs, served] of [
    ['to a friend', { ...lidChat, recipient: FRIEND_LID, sender_pn: OWNER_PN }, false],
    ['to a friend, kept offline', { ...lidChat, recipient: FRIEND_LID, sender_pn: OWNER_PN, offline: true }, false],
    ['note by phone number', { from: OWNER_PN, recipient: OWNER_PN }, true],
    ['note by LID', { ...lidChat, recipient: OWNER_LID }, true],
    ['note by LID, with the phone number', { ...lidChat, recipient: OWNER_LID, peer_recipient_pn: OWNER_PN }, true],
    ['note kept offline', { ...lidChat, recipient: OWNER_LID, sender_pn: OWNER_PN, offline: true }, true],
  ]) {
    await socket.receive(stanza({ text: `${text}${served ? '' : ' (not served)'}`, ...attrs }));
  }
  await until(() => talmo.calls.length === 4, 3000, 'four webhook calls');
  await until(() => socket.ev.isBuffering() === false, 3000, 'the buffer to flush');
  await bridge.incoming;
  assert.deepEqual(forwarded(talmo), ['note by phone number', 'note by LID', 'note by LID, with the phone number', 'note kept offline']
    .map((text) => `${OWNER}: ${text}`));
});

test("linked to its own number, the owner writing from a LID nothing knew yet is recognised once the owner's LID is looked up", async () => {
  // WhatsApp answers the lookup a little after the first message arrived.
  const { socket, talmo, lines, asked } = await startBridge({ number: ASSISTANT, lid: '111222333@lid', lookup: lidServer(300) });
  await socket.receive(stanza({ from: OWNER_LID, addressing_mode: 'lid', text: 'from my LID', offline: true }));
  await socket.receive(stanza({ from: FRIEND_LID, addressing_mode: 'lid', text: 'a stranger' }));
  await socket.receive(stanza({ from: OWNER_PN, text: 'by number' }));
  await until(() => talmo.calls.length === 2, 3000, 'two webhook calls');
  assert.deepEqual(forwarded(talmo), [`${OWNER}: from my LID`, `${OWNER}: by number`]);
  assert.deepEqual(lines('warning'), [`A message from ${FRIEND_LID} could not be matched to a phone number; not forwarded`]);
  assert.equal(asked.filter((j) => j === OWNER_PN).length, 1, 'WhatsApp is asked for the owner\'s LID once');
});
