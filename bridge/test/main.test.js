// The bridge process's own pieces: the library's real socket pointed at
// loopback servers that refuse, close or never answer; the version fetch; and
// the start-up refusals.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, test } from 'node:test';
import { DEFAULT_CONNECTION_CONFIG, fetchLatestWaWebVersion } from 'baileys';
import { Bridge } from '../src/bridge.js';
import { createLogger } from '../src/log.js';
import { webVersion, whatsapp } from '../src/main.js';
import { tempHome, testConfig, until } from './helpers.js';

const MAIN = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../src/main.js');
const homes = [];
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

async function listening(server) {
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return server;
}

// Loopback stand-ins for WhatsApp's WebSocket endpoint.
const endpoints = {
  // Nothing listens on the port.
  async refuses() {
    const server = await listening(net.createServer());
    const { port } = server.address();
    await new Promise((r) => server.close(r));
    return { url: `ws://127.0.0.1:${port}/ws/chat`, close: async () => {} };
  },
  // Completes the WebSocket handshake, then hangs up.
  async closes() {
    const server = http.createServer();
    const held = [];
    server.on('upgrade', (req, socket) => {
      held.push(socket);
      const accept = crypto.createHash('sha1')
        .update(`${req.headers['sec-websocket-key']}258EAFA5-E914-47DA-95CA-C5AB0DC85B11`).digest('base64');
      socket.end(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    });
    await listening(server);
    return { url: `ws://127.0.0.1:${server.address().port}/ws/chat`, close: () => new Promise((r) => { held.forEach((s) => s.destroy()); server.close(r); }) };
  },
  // Takes the connection and never says a word.
  async hangs() {
    const held = [];
    const server = await listening(net.createServer((s) => held.push(s)));
    return { url: `ws://127.0.0.1:${server.address().port}/ws/chat`, close: () => new Promise((r) => { held.forEach((s) => s.destroy()); server.close(r); }) };
  },
};

test("the library's socket, when WhatsApp cannot be reached or hangs up, closes and reconnects with the state and the line a user sees", async () => {
  for (const [kind, state, line] of [
    ['refuses', 'unreachable', /^WhatsApp cannot be reached \(connection refused: ECONNREFUSED 127\.0\.0\.1:\d+\): check this machine's internet connection and DNS; retrying in [\d.]+ s$/],
    ['hangs', 'unreachable', /^WhatsApp cannot be reached \(connection timed out: [^)]*\): check this machine's internet connection and DNS; retrying in [\d.]+ s$/],
    ['closes', 'connecting', /^The WhatsApp connection could not be set up \(status (428|500): [^)]*\); reconnecting in [\d.]+ s$/],
  ]) {
    const endpoint = await endpoints[kind]();
    const home = tempHome();
    homes.push(home);
    const records = [];
    const logger = createLogger({ records });
    const library = await whatsapp({ logger, socketOptions: { waWebSocketUrl: endpoint.url, connectTimeoutMs: 300 } });
    let made = 0;
    const bridge = new Bridge(testConfig(home), {
      logger,
      makeSocket: (options) => { made++; return library.makeSocket(options); },
      downloadMedia: library.downloadMedia,
      reconnectInitialMs: 20,
      reconnectMaxMs: 40,
    });
    try {
      await bridge.start();
      const warnings = () => records.filter((r) => r.level === 'warning').map((r) => r.message);
      await until(() => warnings().length >= 2 && made >= 3, 8000, `two closes and reconnects (${kind})`);
      assert.match(warnings()[0], line, kind);
      const status = bridge.status();
      assert.equal(status.state, state, kind);
      assert.equal(status.connected, false);
      assert.equal(status.paired, false);
      assert.equal(typeof status.detail, 'string');
    } finally {
      await bridge.stop();
      await endpoint.close();
    }
  }
});

test('the version fetch that fails or takes too long falls back to the built-in version with one line', async () => {
  const realFetch = globalThis.fetch;
  // AbortSignal.timeout's timer does not hold the process up; the bridge's server does, this stands in for it.
  const keepAlive = setInterval(() => {}, 1000);
  try {
    for (const [name, fetchImpl, timeoutMs, why] of [
      ['dns', async () => { throw new TypeError('fetch failed', { cause: Object.assign(new Error('getaddrinfo ENOTFOUND web.whatsapp.com'), { code: 'ENOTFOUND', hostname: 'web.whatsapp.com' }) }); },
        5000, 'fetch failed: ENOTFOUND web.whatsapp.com'],
      ['slow', (url, options) => new Promise((_, reject) => options.signal.addEventListener('abort', () => reject(options.signal.reason))),
        50, 'no answer within 0.05 s'],
    ]) {
      globalThis.fetch = fetchImpl;
      const records = [];
      const version = await webVersion(createLogger({ records }), { fetchVersion: fetchLatestWaWebVersion, timeoutMs });
      assert.deepEqual(version, DEFAULT_CONNECTION_CONFIG.version, name);
      assert.deepEqual(records.map((r) => [r.level, r.message]), [['warning',
        `Could not ask WhatsApp for the current WhatsApp Web version (${why}); using the version built into the library, ${DEFAULT_CONNECTION_CONFIG.version.join('.')}`]], name);
    }
    globalThis.fetch = async () => new Response('self.__swData={"dynamic_data":{"SiteData":{"client_revision":1099999999}}}');
    assert.deepEqual(await webVersion(createLogger({ records: [] }), { fetchVersion: fetchLatestWaWebVersion }), [2, 3000, 1099999999]);
  } finally {
    globalThis.fetch = realFetch;
    clearInterval(keepAlive);
  }
});

test('the bridge refuses to start with one line and exit code 2 when a setting is unsafe or wrong', () => {
  const home = tempHome();
  homes.push(home);
  for (const [env, message] of [
    [{ BRIDGE_URL: 'http://0.0.0.0:45051' }, /^talmo-bridge: BRIDGE_URL "http:\/\/0\.0\.0\.0:45051" is not a loopback address and BRIDGE_TOKEN is not set: .*set BRIDGE_TOKEN/],
    [{ BRIDGE_URL: 'http://192.168.1.5:45051' }, /is not a loopback address and BRIDGE_TOKEN is not set/],
    [{ TALMO_LOG_FILE: `${home}/logs/talmo.log`, BRIDGE_LOG_FILE: `${home}/logs/../logs/talmo.log` }, /BRIDGE_LOG_FILE names Talmo's own log file/],
    [{ TALMO_LOG_FORMAT: 'xml' }, /TALMO_LOG_FORMAT must be "text" or "json"/],
  ]) {
    const run = spawnSync(process.execPath, [MAIN], {
      env: { PATH: process.env.PATH, HOME: home, TALMO_HOME: home, ...env }, encoding: 'utf8', timeout: 10000,
    });
    assert.equal(run.status, 2, JSON.stringify(env));
    assert.match(run.stderr, message);
    assert.equal(run.stderr.trim().split('\n').length, 1, run.stderr);
  }
});
