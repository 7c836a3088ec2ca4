// The real talmo binary, this bridge on a fake WhatsApp socket, and a fake
// Groq, all on loopback: the owner's "hi" comes back as the model's reply.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';
import { createApi, listen } from '../src/api.js';
import { Bridge } from '../src/bridge.js';
import { fakeDeps, FakeSocket, incoming, tempHome, testConfig, until } from './helpers.js';

const BINARY = process.env.TALMO_BINARY ||
  path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../build/talmo');
const OWNER = '4915123456789';
const REPLY = 'Hello Boss, the fake model says hi.';

async function freePort() {
  const server = net.createServer();
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const { port } = server.address();
  await new Promise((r) => server.close(r));
  return port;
}

// Groq's chat completion with a small-talk router reply; `seen` collects the
// last message of each request, what the model was asked about.
async function fakeGroq(seen = []) {
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      try {
        seen.push(JSON.parse(Buffer.concat(chunks)).messages.at(-1).content);
      } catch { /* not a chat request */ }
      const content = JSON.stringify({ thought: 'greeting', module: null, response: REPLY });
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end(JSON.stringify({ id: 'c1', object: 'chat.completion',
        choices: [{ index: 0, message: { role: 'assistant', content }, finish_reason: 'stop' }] }));
    });
  });
  return listen(server, '127.0.0.1', 0);
}

const needsBinary = {
  skip: fs.existsSync(BINARY) ? false : `${BINARY} is missing (build it first: make build)`,
  timeout: 60000,
};

// Runs `body({socket, seen, log})` against the real talmo, this bridge on a
// fake WhatsApp socket, and the fake Groq; `log()` is talmo's stderr so far.
async function withTalmoAndBridge(body) {
  const home = tempHome();
  const seen = [];
  const groq = await fakeGroq(seen);
  const [talmoPort, bridgePort] = [await freePort(), await freePort()];
  const talmo = spawn(BINARY, ['serve'], {
    env: {
      PATH: '/usr/bin:/bin', HOME: home, TALMO_HOME: home, TALMO_CONFIG: path.join(home, 'config.toml'),
      TALMO_TIMEZONE: 'UTC', TALMO_HOST: '127.0.0.1', TALMO_PORT: String(talmoPort),
      MASTER_NUMBER: `+${OWNER}`, GROQ_API_KEYS: 'gsk_e2e', GROQ_BASE_URL: `http://127.0.0.1:${groq.address().port}`,
      TAVILY_BASE_URL: 'http://127.0.0.1:9', BRIDGE_URL: `http://127.0.0.1:${bridgePort}`,
    },
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  let stderr = '';
  talmo.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => talmo.on('exit', (code, signal) => resolve(code ?? signal)));

  const config = { ...testConfig(home, { talmoUrl: `http://127.0.0.1:${talmoPort}`, owner: OWNER }), listenPort: bridgePort };
  const fake = fakeDeps({ socketFor: () => new FakeSocket({ number: '4930111222333' }) });
  const bridge = new Bridge(config, fake.deps);
  const api = await listen(createApi(bridge, { config, logger: fake.deps.logger }), '127.0.0.1', bridgePort);
  try {
    await bridge.start();
    const socket = fake.sockets[0];
    socket.open();
    await until(() => stderr.includes('Talmo listening on'), 20000, `talmo to listen; its stderr:\n${stderr}`);
    await body({ socket, seen, log: () => stderr });
  } finally {
    talmo.kill('SIGTERM');
    assert.equal(await exited, 0);
    api.close();
    api.closeAllConnections();
    groq.close();
    groq.closeAllConnections();
    await bridge.stop();
    fs.rmSync(home, { recursive: true, force: true });
  }
}

test('an incoming "hi" from the owner comes back as the model\'s reply', needsBinary, async () => {
  await withTalmoAndBridge(async ({ socket, log }) => {
    socket.deliver([incoming({ from: `${OWNER}@s.whatsapp.net`, text: 'hi' })]);

    await until(() => socket.sent.length > 0, 20000, `a reply; talmo's stderr:\n${log()}`);
    assert.deepEqual(socket.sent.map((s) => [s.jid, s.content.text]), [[`${OWNER}@s.whatsapp.net`, REPLY]]);
    assert.deepEqual(socket.presences[0], { state: 'composing', jid: `${OWNER}@s.whatsapp.net` });
  });
});

test('a location, a contact and a reply reach the model as text; a sticker gets the fixed answer', needsBinary, async () => {
  await withTalmoAndBridge(async ({ socket, seen, log }) => {
    const from = `${OWNER}@s.whatsapp.net`;
    socket.deliver([
      incoming({ from, message: { locationMessage: { degreesLatitude: 48.21042, degreesLongitude: 16.36551, name: 'Café Central', comment: 'weather here?' } } }),
      incoming({ from, message: { contactMessage: { displayName: 'Anna', vcard: 'BEGIN:VCARD\nFN:Anna\nTEL;waid=4915111111111:+49 151 11111111\nEND:VCARD' } } }),
      incoming({ from, message: { extendedTextMessage: { text: 'move this to 5pm', contextInfo: { stanzaId: 'R1', quotedMessage: { conversation: 'Reminder: dentist at 3pm' } } } } }),
      incoming({ from, message: { stickerMessage: { mimetype: 'image/webp' } } }),
    ]);

    await until(() => socket.sent.length === 4, 20000, `four answers; talmo's stderr:\n${log()}`);
    assert.deepEqual(socket.sent.map((s) => s.content.text).sort(), [
      "I can't see stickers yet, Boss. For now I can read text, voice notes, photos, documents (PDFs and text files), locations and contacts.",
      REPLY, REPLY, REPLY,
    ].sort());
    assert.ok(socket.sent.every((s) => s.jid === from));
    assert.deepEqual(seen, [
      '📍 Location: Café Central (48.2104, 16.3655)\nweather here?',
      '👤 Contact: Anna, +49 151 11111111',
      '[Replying to: “Reminder: dentist at 3pm”]\nmove this to 5pm',
    ]);
  });
});
