// The bridge's loopback API: /send, /presence and /status, its token, pairing QR and limits on clients.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import { after, test } from 'node:test';
import net from 'node:net';
import { createApi, listen, SERVER_LIMITS } from '../src/api.js';
import { Bridge } from '../src/bridge.js';
import { loadConfig } from '../src/config.js';
import { showQr } from '../src/qr.js';
import { fakeDeps, tempHome, testConfig, until } from './helpers.js';

const homes = [];
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

async function startApi(token = '') {
  const home = tempHome();
  homes.push(home);
  const config = testConfig(home, { token });
  const fake = fakeDeps();
  const bridge = new Bridge(config, fake.deps);
  await bridge.start();
  const server = await listen(createApi(bridge, { config, logger: fake.deps.logger }), '127.0.0.1', 0);
  // node:http rather than fetch, which will not send a Host header of our choosing.
  const call = (method, path, body, headers = {}) => new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port: server.address().port, method, path, headers }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve([res.statusCode, JSON.parse(Buffer.concat(chunks).toString())]));
    });
    req.on('error', reject);
    req.end(typeof body === 'string' ? body : body && JSON.stringify(body));
  });
  const stop = async () => { server.close(); server.closeAllConnections(); await bridge.stop(); };
  return { bridge, socket: fake.sockets[0], call, stop };
}

const TO = '4915123456789@s.whatsapp.net';

test('/send and /presence reach WhatsApp once connected; before that 503; /status tells which', async () => {
  const { socket, call, stop } = await startApi();
  assert.deepEqual(await call('GET', '/status'), [200, { connected: false, paired: true, number: null, state: 'connecting', detail: null }]);
  assert.deepEqual(await call('POST', '/send', { to: TO, text: 'hi' }),
    [503, { ok: false, error: 'WhatsApp is not connected' }]);
  assert.deepEqual(await call('POST', '/presence', { to: TO, state: 'composing' }),
    [503, { ok: false, error: 'WhatsApp is not connected' }]);

  socket.open();
  assert.deepEqual(await call('GET', '/status'), [200, { connected: true, paired: true, number: '4915123456789', state: 'connected', detail: null }]);
  assert.deepEqual(await call('POST', '/send', { to: TO, text: 'Hello, Boss 👋\n"quoted"' }), [200, { ok: true }]);
  assert.deepEqual(await call('POST', '/presence', { to: TO, state: 'composing' }), [200, { ok: true }]);
  assert.deepEqual(await call('POST', '/presence', { to: TO, state: 'paused' }), [200, { ok: true }]);
  assert.equal(socket.sent.length, 1);
  assert.equal(socket.sent[0].jid, TO);
  assert.deepEqual(socket.sent[0].content, { text: 'Hello, Boss 👋\n"quoted"' });
  assert.deepEqual(socket.presences, [{ state: 'composing', jid: TO }, { state: 'paused', jid: TO }]);

  socket.sendMessage = async () => { throw new Error('not delivered'); };
  const [status, body] = await call('POST', '/send', { to: TO, text: 'hi' });
  assert.equal(status, 502);
  assert.equal(body.ok, false);
  await stop();
});

test('malformed requests get 400 with a JSON error and reach nothing', async () => {
  const { socket, call, stop } = await startApi();
  socket.open();
  for (const [path, body] of [
    ['/send', 'not json'], ['/send', '[1]'], ['/send', { to: TO }], ['/send', { to: TO, text: 5 }],
    ['/send', { to: '123@g.us', text: 'x' }], ['/send', { to: '99887766@lid', text: 'x' }],
    ['/presence', { to: TO, state: 'dancing' }], ['/presence', { state: 'paused' }],
  ]) {
    const [status, answer] = await call('POST', path, body);
    assert.equal(status, 400, `${path} ${JSON.stringify(body)}`);
    assert.equal(answer.ok, false);
    assert.equal(typeof answer.error, 'string');
  }
  assert.equal(socket.sent.length + socket.presences.length, 0);
  await stop();
});

test('with a token every endpoint wants it; web pages are refused either way', async () => {
  const { socket, call, stop } = await startApi('s3cret-token');
  socket.open();
  const unauthorized = [401, { ok: false, error: 'unauthorized' }];
  for (const auth of [undefined, 'Bearer wrong', 'Bearer s3cret-tokenX', 's3cret-token', 'Bearer ']) {
    const headers = auth ? { Authorization: auth } : {};
    assert.deepEqual(await call('GET', '/status', undefined, headers), unauthorized, String(auth));
    assert.deepEqual(await call('POST', '/send', { to: TO, text: 'x' }, headers), unauthorized, String(auth));
    assert.deepEqual(await call('POST', '/presence', { to: TO, state: 'paused' }, headers), unauthorized, String(auth));
  }
  const ok = { Authorization: 'Bearer s3cret-token' };
  assert.deepEqual(await call('POST', '/send', { to: TO, text: 'x' }, ok), [200, { ok: true }]);
  assert.deepEqual(await call('POST', '/send', { to: TO, text: 'x' }, { ...ok, Origin: 'https://example.org' }),
    [403, { ok: false, error: 'forbidden' }]);
  assert.equal(socket.sent.length, 1);
  await stop();

  // Without a token a page that rebinds its name to loopback still names itself in Host.
  const open = await startApi();
  open.socket.open();
  assert.deepEqual(await open.call('GET', '/status', undefined, { Host: 'attacker.example:45051' }), [403, { ok: false, error: 'forbidden' }]);
  assert.equal((await open.call('GET', '/status', undefined, { Host: 'localhost:45051' }))[0], 200);
  await open.stop();
});

test("settings come from Talmo's configuration file, each overridden by the environment", () => {
  const home = tempHome();
  homes.push(home);
  fs.writeFileSync(`${home}/config.toml`, [
    'MASTER_NUMBER = "0049 151 2345-6789"', 'BRIDGE_TOKEN = "from-file-0123456"', 'TALMO_HOST = "0.0.0.0"',
    'TALMO_PORT = 8123', 'BRIDGE_URL = "http://127.0.0.1:45999"', 'GROQ_API_KEYS = ["gsk_x"]',
  ].join('\n'));
  let c = loadConfig({ TALMO_HOME: home });
  assert.equal(c.ownerDigits, '4915123456789');
  assert.equal(c.token, 'from-file-0123456');
  assert.equal(c.talmoUrl, 'http://127.0.0.1:8123');
  assert.equal(c.listenPort, 45999);
  assert.equal(c.dataDir, `${home}/whatsapp`);

  c = loadConfig({ TALMO_HOME: home, BRIDGE_TOKEN: 'from-env-01234567', TALMO_HOST: '::', TALMO_PORT: '9000', MASTER_NUMBER: '' });
  assert.equal(c.token, 'from-env-01234567');
  assert.equal(c.talmoUrl, 'http://[::1]:9000');
  assert.equal(c.ownerDigits, '4915123456789', 'an empty variable counts as unset');

  // A token short enough to guess is refused, as Talmo refuses it.
  assert.throws(() => loadConfig({ TALMO_HOME: home, BRIDGE_TOKEN: 'hello' }), /BRIDGE_TOKEN is shorter than 16 characters/);
  fs.writeFileSync(`${home}/other.toml`, 'TALMO_LOG_LEVEL = "loud"\n');
  assert.throws(() => loadConfig({ TALMO_HOME: home, TALMO_CONFIG: `${home}/other.toml` }), /TALMO_LOG_LEVEL must be one of/);
  fs.writeFileSync(`${home}/other.toml`, 'MASTER_NUMBER = \n');
  assert.throws(() => loadConfig({ TALMO_CONFIG: `${home}/other.toml` }), /other\.toml/);
});

test('the pairing QR code is drawn for the terminal and saved as a private PNG', async () => {
  const home = tempHome();
  homes.push(home);
  let drawn = '';
  await showQr('2@AbCdEf0123456789,XyZ+/=,pQrS==', `${home}/qr.png`, { write: (t) => { drawn += t; } });
  assert.ok(drawn.split('\n').length > 15 && /[█▀▄]/.test(drawn));
  const png = fs.readFileSync(`${home}/qr.png`);
  assert.deepEqual([...png.subarray(1, 4)], [...Buffer.from('PNG')]);
  assert.equal(fs.statSync(`${home}/qr.png`).mode & 0o777, 0o600);
});

// A raw connection to the API: what it writes and whether the server hung up.
function rawConnection(port) {
  const socket = net.connect(port, '127.0.0.1');
  const conn = { socket, received: '', closed: false };
  socket.setEncoding('latin1');
  socket.on('data', (d) => { conn.received += d; });
  socket.on('error', () => {});
  conn.ended = new Promise((resolve) => socket.on('close', () => { conn.closed = true; resolve(); }));
  return conn;
}

async function limitedApi(limits) {
  const home = tempHome();
  homes.push(home);
  const config = testConfig(home);
  const fake = fakeDeps();
  const bridge = new Bridge(config, fake.deps);
  await bridge.start();
  fake.sockets[0].open();
  const server = await listen(createApi(bridge, { config, logger: fake.deps.logger, limits }), '127.0.0.1', 0);
  const stop = async () => { server.close(); server.closeAllConnections(); await bridge.stop(); };
  return { port: server.address().port, stop };
}

test('no client can hold the API: slow or endless requests meet a deadline, idle keep-alives close, big bodies are refused unread', async () => {
  const { port, stop } = await limitedApi({ ...SERVER_LIMITS, requestTimeoutMs: 300, keepAliveTimeoutMs: 300 });
  const head = (extra) => `POST /send HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n${extra}\r\n`;
  for (const [name, request, answer, notAnswer] of [
    ['headers never finished', 'GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n', /^HTTP\/1\.1 408/],
    ['a chunked body that never ends', `${head('Transfer-Encoding: chunked\r\n')}5\r\n{"to"\r\n`, /^HTTP\/1\.1 408/],
    ['Expect: 100-continue, then nothing', head('Expect: 100-continue\r\nContent-Length: 20\r\n'), /^HTTP\/1\.1 100 Continue\r\n\r\nHTTP\/1\.1 408/],
    ['a declared body over the cap', `${head('Content-Length: 1048577\r\n')}{"to":`, /^HTTP\/1\.1 413 [^]*the body is too large/],
    ['a declared body over the cap, 100-continue', head('Expect: 100-continue\r\nContent-Length: 5000000\r\n'), /^HTTP\/1\.1 413/, /100 Continue/],
    ['a chunked body growing past the cap', `${head('Transfer-Encoding: chunked\r\n')}${'100000\r\n'}${'x'.repeat(0x100000)}\r\n10\r\n${'y'.repeat(16)}\r\n`, /^HTTP\/1\.1 413/],
    ['an idle keep-alive connection', 'GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n', /^HTTP\/1\.1 200 [^]*"state":"connected"/],
  ]) {
    const conn = rawConnection(port);
    conn.socket.write(request);
    const started = Date.now();
    // The client sends nothing more, yet keeps its side open: the server has to end it.
    await Promise.race([conn.ended, new Promise((r) => setTimeout(r, 3000))]);
    assert.ok(conn.closed, `${name}: the server closes the connection`);
    assert.ok(Date.now() - started < 2500, name);
    assert.match(conn.received, answer, name);
    if (notAnswer) assert.doesNotMatch(conn.received, notAnswer, name);
    conn.socket.destroy();
  }
  await stop();
});

test('the API holds at most 256 connections; the next one is closed at once', async () => {
  assert.equal(SERVER_LIMITS.maxConnections, 256);
  assert.deepEqual([SERVER_LIMITS.requestTimeoutMs, SERVER_LIMITS.keepAliveTimeoutMs], [30000, 10000]);
  const { port, stop } = await limitedApi(SERVER_LIMITS);
  const open = [];
  for (let i = 0; i < 256; i++) {
    const conn = rawConnection(port);
    await new Promise((r) => conn.socket.once('connect', r));
    open.push(conn);
  }
  await new Promise((r) => setTimeout(r, 100));
  const extra = rawConnection(port);
  await Promise.race([extra.ended, new Promise((r) => setTimeout(r, 2000))]);
  assert.ok(extra.closed, 'the 257th connection is closed');
  assert.equal(extra.received, '');
  // Those within the cap are served.
  open[255].socket.write('GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n');
  await until(() => open[255].received.includes('"state"'), 2000, 'an answer within the cap');
  assert.ok(open.every((c) => !c.closed));
  open.forEach((c) => c.socket.destroy());
  await stop();
});
