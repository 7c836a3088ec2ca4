// /send answers only once WhatsApp's server acknowledged the message, and
// sends a text with Talmo's id once whatever happens around it.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { createApi, listen } from '../src/api.js';
import { Bridge } from '../src/bridge.js';
import { ConfirmedIds } from '../src/confirmed.js';
import { fakeDeps, tempHome, testConfig, until } from './helpers.js';

const homes = [];
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

const TO = '4915123456789@s.whatsapp.net';

async function startBridge(home = tempHome(), sendTimeoutMs = 300) {
  homes.push(home);
  const config = testConfig(home);
  const fake = fakeDeps({ sendTimeoutMs });
  const bridge = new Bridge(config, fake.deps);
  await bridge.start();
  const server = await listen(createApi(bridge, { config, logger: fake.deps.logger }), '127.0.0.1', 0);
  const send = async (body) => {
    const res = await fetch(`http://127.0.0.1:${server.address().port}/send`, {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ to: TO, ...body }),
    });
    return [res.status, await res.json()];
  };
  const stop = async () => { server.close(); server.closeAllConnections(); await bridge.stop(); };
  return { home, socket: fake.sockets[0], send, stop };
}

test('/send answers after the server ack: 200 on an ack, 504 without one, 422 on an error ack', async () => {
  const { socket, send, stop } = await startBridge();
  socket.open();
  for (const [ack, status, answer] of [
    [{}, 200, { ok: true }],
    [null, 504, { ok: false, error: 'WhatsApp did not confirm the message' }],
    [{ error: '463' }, 422, { ok: false, error: 'WhatsApp refused the message (error 463)' }],
  ]) {
    socket.ack = ack;
    const started = Date.now();
    assert.deepEqual(await send({ text: 'hi' }), [status, answer], JSON.stringify(ack));
    assert.ok(Date.now() - started < 1000);
  }
  assert.equal(socket.sent.length, 3);
  await stop();
});

test('an id is sent once: again, concurrently, after a late ack, and after a restart', async () => {
  const first = await startBridge();
  const { socket, send } = first;
  socket.open();
  socket.ack = null;  // acked by hand below

  // Two at once: one send, and both wait for its ack.
  const both = Promise.all([send({ text: 'a', id: 'text-1' }), send({ text: 'a', id: 'text-1' })]);
  await until(() => socket.sent.length === 1, 3000, 'the send');
  await new Promise((r) => setTimeout(r, 50));
  const messageId = socket.sent[0].options.messageId;
  assert.equal(messageId, `3EB0${crypto.createHash('sha256').update('text-1').digest('hex').slice(0, 36).toUpperCase()}`);
  socket.ackMessage(messageId);
  assert.deepEqual(await both, [[200, { ok: true }], [200, { ok: true }]]);
  assert.deepEqual(await send({ text: 'a', id: 'text-1' }), [200, { ok: true }]);

  // Unconfirmed in time, then acked late: the id counts as delivered.
  assert.equal((await send({ text: 'b', id: 'text-2' }))[0], 504);
  socket.ackMessage(socket.sent[1].options.messageId);
  assert.equal(socket.sent.length, 2);

  // Refused: not confirmed, so a retry sends again with the same message id.
  assert.equal((await send({ text: 'c', id: 'text-3' }))[0], 504);
  socket.ackMessage(socket.sent[2].options.messageId, { error: '479' });
  socket.ack = {};
  assert.deepEqual(await send({ text: 'c', id: 'text-3' }), [200, { ok: true }]);
  assert.equal(socket.sent[3].options.messageId, socket.sent[2].options.messageId);
  await first.stop();

  // After a restart, still disconnected: confirmed ids answer 200 and send nothing.
  const again = await startBridge(first.home);
  for (const id of ['text-1', 'text-2', 'text-3'])
    assert.deepEqual(await again.send({ text: 'x', id }), [200, { ok: true }], id);
  assert.deepEqual(await again.send({ text: 'x', id: 'text-4' }), [503, { ok: false, error: 'WhatsApp is not connected' }]);
  assert.equal(again.socket.sent.length, 0);
  await again.stop();
});

test('an id outside 1-64 of [A-Za-z0-9_-] gets 400 and sends nothing', async () => {
  const { socket, send, stop } = await startBridge();
  socket.open();
  for (const id of ['', 'x'.repeat(65), 'a b', 'ümlaut', 'a/b', 42, null]) {
    assert.deepEqual(await send({ text: 'hi', id }),
      [400, { ok: false, error: '"id" must be 1 to 64 characters of A-Z, a-z, 0-9, _ and -' }], JSON.stringify(id));
  }
  assert.deepEqual(await send({ text: 'hi', id: `Az09_-${'x'.repeat(58)}` }), [200, { ok: true }]);
  assert.equal(socket.sent.length, 1);
  await stop();
});

test('the confirmed ids on disk keep the latest ones, survive a torn last line and stay compact', () => {
  const dir = tempHome();
  homes.push(dir);
  const ids = new ConfirmedIds({ dir, kept: 3 });
  for (let i = 1; i <= 8; i++) ids.add(`id-${i}`);
  fs.appendFileSync(path.join(dir, 'confirmed-ids'), 'id-9 torn');  // a crash mid-write
  const reloaded = new ConfirmedIds({ dir, kept: 3 });
  assert.deepEqual(['id-5', 'id-6', 'id-7', 'id-8'].map((id) => reloaded.has(id)), [false, true, true, true]);
  assert.ok(!reloaded.has('id-9 torn'));
  assert.equal(fs.readFileSync(path.join(dir, 'confirmed-ids'), 'utf8'), 'id-6\nid-7\nid-8\n');
});
