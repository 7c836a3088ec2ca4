// The bridge's HTTP API for Talmo, on loopback:
//   POST /send {"to": "<digits>@s.whatsapp.net", "text": "...", "id"?: "..."} → 200 {"ok": true}
//     once WhatsApp's server acknowledged the message (within 15 s, else 504;
//     422 when it refused it). The same `id` is sent once: again → 200 at once.
//   POST /presence {"to": ..., "state": "composing" | "paused" | ...} → 200 {"ok": true}
//   GET /status → {"connected": bool, "paired": bool, "number": "<digits>" | null}
// With a BRIDGE_TOKEN every request needs "Authorization: Bearer <token>".
// Requests from web pages (an Origin header, or without a token a Host that
// does not name this bridge) are refused, so a page open in the owner's
// browser cannot send WhatsApp messages through it.
import crypto from 'node:crypto';
import http from 'node:http';
import { PRESENCE_STATES } from './bridge.js';
import { SEND_ID } from './confirmed.js';

const MAX_BODY_BYTES = 1024 * 1024;
const CHAT = /^\d{1,20}@s\.whatsapp\.net$/;

function reply(res, status, body) {
  const text = JSON.stringify(body);
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
  res.end(text);
}

// Compares in constant time (digests of equal length whatever the input).
export function tokenMatches(header, token) {
  const given = typeof header === 'string' && header.startsWith('Bearer ') ? header.slice(7) : '';
  const a = crypto.createHash('sha256').update(given).digest();
  const b = crypto.createHash('sha256').update(token).digest();
  return crypto.timingSafeEqual(a, b) && given.length > 0;
}

// Whether the Host header names this bridge: a loopback name or address, or
// the host it listens on (any port).
export function hostAllowed(hostHeader, listenHost) {
  if (typeof hostHeader !== 'string' || hostHeader === '') return false;
  const host = hostHeader.startsWith('[') ? hostHeader.slice(1, hostHeader.indexOf(']')) : hostHeader.replace(/:\d*$/, '');
  const name = host.toLowerCase();
  return name === 'localhost' || name === '::1' || /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(name) ||
    name === String(listenHost).toLowerCase();
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY_BYTES) {
        reject(Object.assign(new Error('the body is too large'), { status: 413 }));
        return;  // the rest is read and dropped
      }
      chunks.push(chunk);
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

// The decoded JSON object of the body, or a 400 error naming what is wrong.
async function jsonBody(req, fields) {
  const text = await readBody(req);
  let body;
  try {
    body = JSON.parse(text);
  } catch {
    throw Object.assign(new Error('the body must be a JSON object'), { status: 400 });
  }
  if (!body || typeof body !== 'object' || Array.isArray(body))
    throw Object.assign(new Error('the body must be a JSON object'), { status: 400 });
  for (const [name, check, wanted] of fields) {
    if (!check(body[name])) throw Object.assign(new Error(`"${name}" must be ${wanted}`), { status: 400 });
  }
  return body;
}

const isChat = (v) => typeof v === 'string' && CHAT.test(v);
const CHAT_WANTED = 'a chat address "<digits>@s.whatsapp.net"';
const isSendId = (v) => v === undefined || (typeof v === 'string' && SEND_ID.test(v));

export function createApi(bridge, { config, logger }) {
  const server = http.createServer(async (req, res) => {
    try {
      // With a token, the token guards; without one, only requests naming this bridge pass.
      if (req.headers.origin !== undefined || (!config.token && !hostAllowed(req.headers.host, config.listenHost))) {
        logger.warning(`Refused a ${req.method} ${req.url} request from a web page or an unknown host`);
        reply(res, 403, { ok: false, error: 'forbidden' });
        return;
      }
      if (config.token && !tokenMatches(req.headers.authorization, config.token)) {
        logger.warning(`Refused a ${req.method} ${req.url} request without the bridge token`);
        reply(res, 401, { ok: false, error: 'unauthorized' });
        return;
      }
      const route = `${req.method} ${req.url.split('?')[0]}`;
      if (route === 'GET /status') {
        reply(res, 200, bridge.status());
        return;
      }
      if (route !== 'POST /send' && route !== 'POST /presence') {
        reply(res, 404, { ok: false, error: 'not found' });
        return;
      }
      const body = route === 'POST /send'
        ? await jsonBody(req, [['to', isChat, CHAT_WANTED], ['text', (v) => typeof v === 'string' && v !== '', 'a non-empty text'],
          ['id', isSendId, '1 to 64 characters of A-Z, a-z, 0-9, _ and -']])
        : await jsonBody(req, [['to', isChat, CHAT_WANTED], ['state', (v) => PRESENCE_STATES.includes(v), `one of ${PRESENCE_STATES.join(', ')}`]]);
      if (route === 'POST /send') {
        try {
          await bridge.send(body.to, body.text, body.id);
        } catch (err) {
          if (err.status !== 503) logger.error(`WhatsApp did not take the message: ${err.message}`);
          reply(res, err.status ?? 502, { ok: false, error: err.status ? err.message : `WhatsApp did not take it: ${err.message}` });
          return;
        }
        reply(res, 200, { ok: true });
        return;
      }
      if (!bridge.connected) {
        reply(res, 503, { ok: false, error: 'WhatsApp is not connected' });
        return;
      }
      try {
        await bridge.presence(body.to, body.state);
      } catch (err) {
        logger.error(`WhatsApp did not take the presence update: ${err.message}`);
        reply(res, 502, { ok: false, error: `WhatsApp did not take it: ${err.message}` });
        return;
      }
      reply(res, 200, { ok: true });
    } catch (err) {
      if (res.headersSent) return;
      reply(res, err.status ?? 500, { ok: false, error: err.message });
    }
  });
  return server;
}

// Listens on the host and port of BRIDGE_URL; resolves with the server once it listens.
export function listen(server, host, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => {
      server.off('error', reject);
      resolve(server);
    });
  });
}
