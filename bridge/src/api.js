// The bridge's HTTP API for Talmo, on loopback:
//   POST /send {"to": "<digits>@s.whatsapp.net", "text": "...", "id"?: "..."} → 200 {"ok": true}
//     once WhatsApp's server acknowledged the message (within 15 s, else 504;
//     422 when it refused it). The same `id` is sent once: again → 200 at once.
//   POST /presence {"to": ..., "state": "composing" | "paused" | ...} → 200 {"ok": true}
//   GET /status → {"connected": bool, "paired": bool, "number": "<digits>" | null,
//                  "state": "connecting" | "unreachable" | ..., "detail": "<last error>" | null}
// With a BRIDGE_TOKEN every request needs "Authorization: Bearer <token>".
// Requests from web pages (an Origin header, or without a token a Host that
// does not name this bridge) are refused, so a page open in the owner's
// browser cannot send WhatsApp messages through it.
import crypto from 'node:crypto';
import http from 'node:http';
import { PRESENCE_STATES } from './bridge.js';
import { SEND_ID } from './confirmed.js';

const MAX_BODY_BYTES = 1024 * 1024;

// The server's own bounds, so no client can hold it: connections at once, the
// time a whole request (headers and body) may take, and the time an idle
// keep-alive connection stays open.
export const SERVER_LIMITS = { maxConnections: 256, requestTimeoutMs: 30000, keepAliveTimeoutMs: 10000 };
const CHAT = /^\d{1,20}@s\.whatsapp\.net$/;

function reply(res, status, body, { close = false } = {}) {
  const text = JSON.stringify(body);
  const headers = { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) };
  if (close) headers.Connection = 'close';
  res.writeHead(status, headers);
  // Closing, the unread rest of the request is dropped with the connection rather than read.
  res.end(text, close ? () => res.socket?.destroySoon?.() : undefined);
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

const tooLarge = () => Object.assign(new Error('the body is too large'), { status: 413, close: true });

// A body declared larger than the cap is refused before any of it is read.
function declaredTooLarge(req) {
  const length = Number(req.headers['content-length']);
  return Number.isFinite(length) && length > MAX_BODY_BYTES;
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    if (declaredTooLarge(req)) {
      reject(tooLarge());
      return;
    }
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY_BYTES) {
        req.pause();  // the rest is never read: the connection closes after the answer
        reject(tooLarge());
        return;
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

export function createApi(bridge, { config, logger, limits = SERVER_LIMITS }) {
  const server = http.createServer({
    requestTimeout: limits.requestTimeoutMs,
    headersTimeout: limits.requestTimeoutMs,
    keepAliveTimeout: limits.keepAliveTimeoutMs,
    // How often the request deadline is checked (Node's default, 30 s, would let it run to a minute).
    connectionsCheckingInterval: Math.max(10, Math.min(1000, limits.requestTimeoutMs / 4)),
  }, async (req, res) => {
    try {
      if (declaredTooLarge(req)) {
        reply(res, 413, { ok: false, error: 'the body is too large' }, { close: true });
        return;
      }
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
      reply(res, err.status ?? 500, { ok: false, error: err.message }, { close: Boolean(err.close) });
    }
  });
  server.maxConnections = limits.maxConnections;
  // "Expect: 100-continue" with a body over the cap is refused before the client sends it.
  server.on('checkContinue', (req, res) => {
    if (declaredTooLarge(req)) {
      reply(res, 413, { ok: false, error: 'the body is too large' }, { close: true });
      return;
    }
    res.writeContinue();
    server.emit('request', req, res);
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
