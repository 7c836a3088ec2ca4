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

// Groq's chat completion with a small-talk router reply.
async function fakeGroq() {
  const server = http.createServer((req, res) => {
    req.resume();
    req.on('end', () => {
      const content = JSON.stringify({ thought: 'greeting', module: null, response: REPLY });
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end(JSON.stringify({ id: 'c1', object: 'chat.completion',
        choices: [{ index: 0, message: { role: 'assistant', content }, finish_reason: 'stop' }] }));
    });
  });
  return listen(server, '127.0.0.1', 0);
}

test('an incoming "hi" from the owner comes back as the model\'s reply', {
  skip: fs.existsSync(BINARY) ? false : `${BINARY} is missing (build it first: make build)`,
  timeout: 60000,
}, async () => {
  const home = tempHome();
  const groq = await fakeGroq();
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
    socket.deliver([incoming({ from: `${OWNER}@s.whatsapp.net`, text: 'hi' })]);

    await until(() => socket.sent.length > 0, 20000, `a reply; talmo's stderr:\n${stderr}`);
    assert.deepEqual(socket.sent.map((s) => [s.jid, s.content.text]), [[`${OWNER}@s.whatsapp.net`, REPLY]]);
    assert.deepEqual(socket.presences[0], { state: 'composing', jid: `${OWNER}@s.whatsapp.net` });
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
});
