// The bridge's WhatsApp side: which messages reach Talmo, its durable queue, pairing and reconnection.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, afterEach, test } from 'node:test';
import { Bridge } from '../src/bridge.js';
import { useSessionFiles } from '../src/session.js';
import { fakeDeps, fakeTalmo as startTalmo, FakeSocket, incoming, tempHome, testConfig, until } from './helpers.js';

const OWNER = '4915123456789';
const ASSISTANT = '4930111222333';
const running = [];
const homes = [];
const talmos = [];
afterEach(async () => {
  while (running.length) await running.pop().stop();
  while (talmos.length) await talmos.pop().close();
});
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

async function fakeTalmo(answer) {
  const talmo = await startTalmo(answer);
  talmos.push(talmo);
  return talmo;
}

// A started bridge linked to `number`, connected, with Talmo at `talmo`.
async function startBridge({ talmo, number = ASSISTANT, home = tempHome(), token = '', extra = {} } = {}) {
  homes.push(home);
  const fake = fakeDeps({ socketFor: () => new FakeSocket({ number }), ...extra });
  const bridge = new Bridge(testConfig(home, { talmoUrl: talmo.url, owner: OWNER, token }), fake.deps);
  running.push(bridge);
  await bridge.start();
  fake.sockets[0].open();
  return { bridge, home, ...fake, socket: fake.sockets[0] };
}

test('texts, voice notes and photos reach Talmo with the sender digits; what is not a private message does not', async () => {
  const talmo = await fakeTalmo();
  const { socket, lines } = await startBridge({ talmo, token: 'tok-123' });
  const from = `${OWNER}:3@s.whatsapp.net`;
  socket.deliver([
    incoming({ from, text: 'plain' }),
    incoming({ from, message: { extendedTextMessage: { text: 'extended' } } }),
    incoming({ from, message: { ephemeralMessage: { message: { conversation: 'ephemeral' } } } }),
    incoming({ from, message: { viewOnceMessageV2: { message: { extendedTextMessage: { text: 'view once' } } } } }),
    incoming({ from, id: 'VOICE1', message: { audioMessage: { ptt: true, mimetype: 'audio/ogg; codecs=opus' } } }),
    // Not forwarded:
    incoming({ from: '120363000000@g.us', text: 'group' }),
    incoming({ from: 'status@broadcast', text: 'status' }),
    incoming({ from: '1234@broadcast', text: 'broadcast' }),
    incoming({ from: '1203630@newsletter', text: 'newsletter' }),
    incoming({ from, message: { reactionMessage: { text: '👍' } } }),
    incoming({ from, message: { protocolMessage: { type: 14, editedMessage: { conversation: 'edit' } } } }),
    incoming({ from, text: 'sent from the assistant phone', fromMe: true }),
    incoming({ from, id: 'PHOTO1', message: { imageMessage: { caption: 'photo', mimetype: 'image/jpeg' } } }),
    // Talmo says it cannot read this yet:
    incoming({ from, message: { audioMessage: { ptt: false } } }),
  ]);
  // What WhatsApp kept while the bridge was offline comes as "append".
  socket.deliver([incoming({ from, text: 'kept offline' })], 'append');

  await until(() => talmo.calls.length === 8, 3000, 'eight webhook calls');
  assert.deepEqual(talmo.calls.filter((c) => c.path === '/whatsapp/incoming/other').map((c) => JSON.parse(c.body).kind), ['audio']);
  const photo = talmo.calls.find((c) => c.path === '/whatsapp/incoming/image');
  assert.deepEqual([photo.headers['x-sender'], photo.body.toString()], [OWNER, 'OggS-PHOTO1']);
  assert.deepEqual(talmo.texts(), ['plain', 'extended', 'ephemeral', 'view once', 'kept offline'].map((message) => ({ sender: OWNER, message })));
  const voice = talmo.calls.find((c) => c.path === '/whatsapp/incoming/audio');
  assert.equal(voice.headers['x-sender'], OWNER);
  assert.equal(voice.body.toString(), 'OggS-VOICE1');
  assert.ok(talmo.calls.every((c) => c.headers.authorization === 'Bearer tok-123'));
  // Contents only ever at debug level.
  for (const level of ['info', 'success', 'warning', 'error'])
    assert.ok(lines(level).every((l) => !/plain|extended|ephemeral|view once/.test(l)), lines(level).join('\n'));
});

test('a LID sender is forwarded as its phone number when any mapping knows it, and never as the LID', async () => {
  const talmo = await fakeTalmo();
  const { socket, lines } = await startBridge({ talmo });
  socket.lidStore.set('111@lid', '4917000000001:0@s.whatsapp.net');
  socket.ev.emit('lid-mapping.update', { lid: '222@lid', pn: '4917000000002@s.whatsapp.net' });
  socket.deliver([
    incoming({ from: '333:2@lid', alt: '4917000000003@s.whatsapp.net', text: 'alt' }),
    incoming({ from: '222@lid', text: 'announced' }),
    incoming({ from: '111@lid', text: 'store' }),
    incoming({ from: '444@lid', text: 'unknown' }),
    incoming({ from: `${OWNER}@s.whatsapp.net`, text: 'last' }),
  ]);
  await until(() => talmo.calls.length === 4, 3000, 'four webhook calls');
  assert.deepEqual(talmo.texts(), [
    { sender: '4917000000003', message: 'alt' },
    { sender: '4917000000002', message: 'announced' },
    { sender: '4917000000001', message: 'store' },
    { sender: OWNER, message: 'last' },
  ]);
  assert.deepEqual(lines('warning'), ['A message from 444@lid could not be matched to a phone number; not forwarded']);
});

test("linked to the owner's own number, only the owner's notes to self are served and the bridge's replies never loop", async () => {
  const talmo = await fakeTalmo();
  const { bridge, socket } = await startBridge({ talmo, number: OWNER });
  const selfChat = `${OWNER}@s.whatsapp.net`;
  await bridge.send(selfChat, 'reply from Talmo');
  const replyId = socket.sent[0].options.messageId;
  socket.deliver([
    incoming({ from: selfChat, text: 'note to self', fromMe: true }),
    incoming({ from: '99887766@lid', text: 'note via LID', fromMe: true }),
    incoming({ from: selfChat, text: 'reply from Talmo', fromMe: true, id: replyId }),
    incoming({ from: '4917000000009@s.whatsapp.net', text: 'a friend writes' }),
    incoming({ from: '4917000000009@s.whatsapp.net', text: 'owner answers a friend', fromMe: true }),
  ]);
  socket.deliver([incoming({ from: selfChat, text: 'the last one', fromMe: true })]);
  await until(() => talmo.calls.length === 3, 3000, 'three webhook calls');
  assert.deepEqual(talmo.texts().map((t) => t.message), ['note to self', 'note via LID', 'the last one']);
  assert.ok(talmo.texts().every((t) => t.sender === OWNER));
});

test('messages Talmo did not take are retried in order and survive a restart without being forwarded twice', async () => {
  // Talmo refuses the connection, fails, reports an error, refuses the token, then takes everything.
  const script = [[0], [503, {}], [200, { status: 'error', message: 'boom' }], [401, { detail: 'Unauthorized' }]];
  const talmo = await fakeTalmo(() => script.shift() ?? [200, { status: 'received' }]);
  talmo.answer = () => [0];  // down until the restart
  const first = await startBridge({ talmo });
  const from = `${OWNER}@s.whatsapp.net`;
  first.socket.deliver([incoming({ from, text: 'one', id: 'A1' }),
    incoming({ from, id: 'A2', message: { audioMessage: { ptt: true } } })]);
  await until(() => first.lines('warning').length >= 2, 3000, 'failed attempts');
  assert.equal(first.bridge.queue.size, 2);
  const onDisk = JSON.parse(fs.readFileSync(path.join(first.home, 'whatsapp', 'outbox.json'), 'utf8'));
  assert.deepEqual(onDisk.pending.map((e) => e.id), ['A1', 'A2'], 'queued under the file name existing installs have');
  await first.bridge.stop();
  running.length = 0;

  talmo.answer = (call) => script.shift() ?? [200, { status: 'received' }];
  const second = await startBridge({ talmo, home: first.home });
  // WhatsApp delivers the same messages again after the restart, then a new one.
  second.socket.deliver([incoming({ from, text: 'one', id: 'A1' }), incoming({ from, text: 'three', id: 'A3' })]);
  await until(() => second.bridge.queue.size === 0 && talmo.calls.length >= 3, 5000, 'the queue to drain');
  const taken = talmo.calls.slice(-3);
  assert.deepEqual(taken.map((c) => c.path), ['/whatsapp/incoming/text', '/whatsapp/incoming/audio', '/whatsapp/incoming/text']);
  assert.deepEqual(talmo.texts().slice(-2).map((t) => t.message), ['one', 'three']);
  assert.equal(talmo.calls.filter((c) => c.path.endsWith('/text') && JSON.parse(c.body).message === 'one').length, 4,
    'the first message is tried until taken (503, error answer, 401, taken; the refused connection never arrived) and never once more');
  assert.ok(second.lines('error').some((l) => l.startsWith('Talmo refused the bridge (HTTP 401)')));
  assert.deepEqual(fs.readdirSync(path.join(first.home, 'whatsapp', 'outbox')), [], 'voice files are removed once taken');

  // A third start has nothing left to send.
  await second.bridge.stop();
  running.length = 0;
  const before = talmo.calls.length;
  const third = await startBridge({ talmo, home: first.home });
  third.socket.deliver([incoming({ from, text: 'one', id: 'A1' })]);
  await third.bridge.incoming;
  assert.equal(third.bridge.queue.size, 0);
  assert.equal(talmo.calls.length, before);
});

test('a full queue drops its oldest message with an error line', async () => {
  const talmo = await fakeTalmo(() => [0]);
  const { bridge, socket, lines } = await startBridge({ talmo, extra: { queueCap: 2 } });
  const from = `${OWNER}@s.whatsapp.net`;
  socket.deliver(['a', 'b', 'c'].map((text) => incoming({ from, text })));
  await until(() => lines('error').length === 1, 3000, 'the drop line');
  assert.match(lines('error')[0], /^The queue for Talmo is full \(2 messages\): dropped the oldest, a text message from 4915123456789/);
  assert.deepEqual(bridge.queue.pending.map((e) => e.text), ['b', 'c']);
});

test('a logged-out session is removed and pairing starts over; other closes reconnect; a pairing code replaces the QR', async () => {
  const talmo = await fakeTalmo();
  const { bridge, home, sockets, lines } = await startBridge({
    talmo, extra: { pairCode: OWNER, socketFor: (n) => new FakeSocket({ number: ASSISTANT, registered: n === 0 }) },
  });
  const session = path.join(home, 'whatsapp', 'session');
  sockets[0].ev.emit('creds.update', {});
  await until(() => fs.existsSync(path.join(session, 'creds.json')), 3000, 'saved credentials');
  assert.equal(fs.statSync(path.join(home, 'whatsapp')).mode & 0o777, 0o700);
  assert.deepEqual(bridge.status(), { connected: true, paired: true, number: ASSISTANT, state: 'connected', detail: null });

  sockets[0].close(428, 'Connection Closed');
  assert.equal(bridge.status().connected, false);
  await until(() => sockets.length === 2, 3000, 'a reconnect');
  assert.ok(lines('warning').some((l) => l.startsWith('The WhatsApp connection closed (status 428')));

  sockets[1].close(401, 'logged out');
  assert.equal(fs.existsSync(path.join(session, 'creds.json')), false);
  assert.ok(lines('error').some((l) => l.includes('logged this bridge out') && l.includes('Linked devices → Link a device')));
  await until(() => sockets.length === 3, 3000, 'a fresh session');
  assert.equal(bridge.status().paired, false);
  sockets[2].ev.emit('connection.update', { qr: 'qr-text' });
  sockets[2].ev.emit('connection.update', { qr: 'qr-text-2' });
  await until(() => lines('info').some((l) => l.includes('ABCD-1234')), 3000, 'the pairing code');
  assert.deepEqual(sockets[2].pairRequests, [OWNER]);
});

test('a voice note that cannot be downloaded is reported and holds up no later message', async () => {
  const talmo = await fakeTalmo();
  const { socket, lines } = await startBridge({
    talmo, extra: { downloadMedia: () => new Promise(() => {}), downloadTimeoutMs: 20 },
  });
  const from = `${OWNER}@s.whatsapp.net`;
  socket.deliver([incoming({ from, message: { audioMessage: { ptt: true } } }), incoming({ from, text: 'after' })]);
  await until(() => talmo.calls.length === 2, 3000, 'the text after the stuck voice note');
  // Talmo is told, so the owner hears the voice note was lost.
  assert.deepEqual(JSON.parse(talmo.calls[0].body), { sender: OWNER, kind: 'voice_note' });
  assert.deepEqual(talmo.texts(), [{ sender: OWNER, message: 'after' }]);
  assert.deepEqual(lines('error'), [`Could not download the voice note from ${OWNER}: the download took too long`]);
});

test('a pairing code never entered leaves no half-paired session: paired stays false, pairing starts over, the code is asked again', async () => {
  const home = tempHome();
  homes.push(home);
  const session = path.join(home, 'whatsapp', 'session');
  const savedNumber = () => fs.existsSync(path.join(session, 'creds.json')) && JSON.parse(fs.readFileSync(path.join(session, 'creds.json'))).me;
  // The sockets keep their credentials in the real session files, as the library's do.
  const failFirst = { done: false };
  const fake = fakeDeps({
    pairCode: OWNER,
    makeSocket: async ({ sessionDir }) => {
      const { state, saveCreds } = await useSessionFiles(sessionDir, fake.deps.logger);
      const socket = new FakeSocket({ registered: false });
      socket.authState = state;
      if (!failFirst.done) {
        // The real request writes the number before it sends anything, so a failed one leaves it too.
        failFirst.done = true;
        const request = socket.requestPairingCode.bind(socket);
        let calls = 0;
        socket.requestPairingCode = async (n) => {
          const code = await request(n);
          if (++calls === 1) throw new Error('Connection Closed');
          return code;
        };
      }
      fake.sockets.push(socket);
      return { socket, saveCreds };
    },
  });
  const bridge = new Bridge(testConfig(home, { owner: OWNER }), fake.deps);
  running.push(bridge);
  await bridge.start();
  const [first] = fake.sockets;
  first.ev.emit('connection.update', { qr: 'ref-1' });
  await until(() => fake.lines('error').length === 1, 3000, 'the failed request');
  assert.equal(fake.lines('error')[0], `Could not get a pairing code for ${OWNER}: Connection Closed`);
  first.ev.emit('connection.update', { qr: 'ref-2' });
  await until(() => fake.lines('info').some((l) => l.includes('ABCD-1234')), 3000, 'the code asked again on the next QR reference');
  assert.deepEqual(first.pairRequests, [OWNER, OWNER]);
  await until(savedNumber, 3000, 'the number saved');
  assert.deepEqual([bridge.status().paired, bridge.status().state], [false, 'waiting_for_pairing']);

  // The code is not entered before the QR references run out.
  first.close(408, 'QR refs attempts ended');
  // The next socket, made on the half-written session, is dropped; the one after pairs afresh.
  await until(() => fake.sockets.length === 3, 3000, 'a fresh session');
  assert.ok(fake.sockets[1].ended);
  const second = fake.sockets[2];
  assert.equal(second.authState.creds.me, undefined, 'the next socket pairs instead of logging in');
  const aside = fs.readdirSync(path.join(home, 'whatsapp')).filter((n) => n.startsWith('session.unfinished-pairing-'));
  assert.equal(aside.length, 1);
  assert.ok(fake.lines('warning').some((l) => l.startsWith('The WhatsApp pairing was not finished') &&
    l.includes(path.join(home, 'whatsapp', aside[0])) && l.includes('a new pairing code follows')), fake.lines('warning').join('\n'));
  assert.equal(bridge.status().paired, false);
  second.ev.emit('connection.update', { qr: 'ref-3' });
  await until(() => second.pairRequests.length === 1, 3000, 'the code asked for on the fresh session');

  // A restart in the middle of a pairing starts over the same way.
  await until(savedNumber, 3000, 'the number saved again');
  await bridge.stop();
  running.length = 0;
  const again = new Bridge(testConfig(home, { owner: OWNER }), fake.deps);
  running.push(again);
  await again.start();
  await until(() => fake.sockets.length === 5, 3000, 'a fresh session after the restart');
  assert.ok(fake.sockets[3].ended);
  assert.equal(fake.sockets[4].authState.creds.me, undefined);
  assert.equal(fs.readdirSync(path.join(home, 'whatsapp')).filter((n) => n.startsWith('session.unfinished-pairing-')).length, 2);
});

test('each close sets the state /status shows; a paired session is kept whatever the network does', async () => {
  const network = (code, extra) => Object.assign(new Error(`WebSocket Error (getaddrinfo ${code} web.whatsapp.com)`), {
    output: { statusCode: 408 }, data: Object.assign(new Error(`getaddrinfo ${code} web.whatsapp.com`), { code, ...extra }),
  });
  const boom = (statusCode, message) => Object.assign(new Error(message), { output: { statusCode } });
  for (const [error, state, reconnects, level, line] of [
    [network('ENOTFOUND', { hostname: 'web.whatsapp.com' }), 'unreachable', true, 'warning',
      /^WhatsApp cannot be reached \(DNS lookup failed: ENOTFOUND web\.whatsapp\.com\): check this machine's internet connection and DNS; retrying in [\d.]+ s$/],
    [boom(405, 'Connection Failure'), 'outdated', true, 'error', /must be updated\. Run `git pull`, then `npm ci` in bridge\//],
    [boom(440, 'Stream Errored (conflict)'), 'replaced', false, 'error', /^Another WhatsApp Web session for this account took over/],
    [boom(401, 'Intentional Logout'), 'logged_out', true, 'error', /logged this bridge out/],
    [boom(428, 'Connection Closed'), 'connecting', true, 'warning', /^The WhatsApp connection could not be set up \(status 428: Connection Closed\)/],
  ]) {
    const talmo = await fakeTalmo();
    const home = tempHome();
    homes.push(home);
    const fake = fakeDeps({ socketFor: () => new FakeSocket({ number: ASSISTANT }) });
    const bridge = new Bridge(testConfig(home, { talmoUrl: talmo.url }), fake.deps);
    running.push(bridge);
    await bridge.start();
    fs.writeFileSync(path.join(home, 'whatsapp', 'session', 'creds.json'), '{"paired": true}');
    fake.sockets[0].ev.emit('connection.update', { connection: 'close', lastDisconnect: { error } });
    assert.equal(bridge.status().state, state);
    assert.ok(fake.lines(level).some((l) => line.test(l)), `${state}: ${fake.lines(level).join('\n')}`);
    if (!reconnects) {
      await new Promise((r) => setTimeout(r, 50));
      assert.equal(fake.sockets.length, 1, `${state}: no reconnect`);
      continue;
    }
    await until(() => fake.sockets.length === 2, 3000, `a reconnect after ${state}`);
    // The close's state holds while the bridge retries, until a connection opens.
    assert.equal(bridge.status().state, state);
    if (state !== 'logged_out') {
      assert.ok(fs.existsSync(path.join(home, 'whatsapp', 'session', 'creds.json')), `${state}: the session is kept`);
      assert.equal(bridge.status().paired, true);
    }
    fake.sockets[1].open();
    assert.deepEqual([bridge.status().state, bridge.status().detail], ['connected', null]);
  }
  // A repeated refusal of the version is said once, not at every retry.
  const fake = fakeDeps();
  const bridge = new Bridge(testConfig(tempHome()), fake.deps);
  running.push(bridge);
  await bridge.start();
  fake.sockets[0].close(405, 'Connection Failure');
  await until(() => fake.sockets.length === 2, 3000, 'a retry');
  fake.sockets[1].close(405, 'Connection Failure');
  assert.equal(fake.lines('error').length, 1);
});

test('right after a pairing the next connection waits until the new credentials are on disk', async () => {
  const home = tempHome();
  homes.push(home);
  const saved = [];
  const made = [];
  const fake = fakeDeps({
    makeSocket: async () => {
      made.push(saved.length);
      const socket = new FakeSocket({ registered: false });
      fake.sockets.push(socket);
      return { socket, saveCreds: () => new Promise((r) => setTimeout(() => { saved.push(Date.now()); r(); }, 50)) };
    },
  });
  const bridge = new Bridge(testConfig(home), fake.deps);
  running.push(bridge);
  await bridge.start();
  // Pair-success writes the account; WhatsApp then asks for a restart at once.
  fake.sockets[0].ev.emit('creds.update', {});
  fake.sockets[0].close(515, 'Stream Errored (restart required)');
  await until(() => made.length === 2, 3000, 'the reconnect');
  assert.deepEqual(made, [0, 1], 'the second socket is made only once the credentials are saved');
});
