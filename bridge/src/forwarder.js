// Hands the queued messages to Talmo's webhooks, oldest first. A message
// Talmo did not take stays at the head and is tried again after a pause that
// doubles up to a cap; the queue moves on only once Talmo took it.
import { mediaType } from './messages.js';

const TEXT_TIMEOUT_MS = 15000;
// Talmo transcribes a voice note, or has a model read a photo or document,
// before it answers.
const MEDIA_TIMEOUT_MS = 120000;

// The most bytes one encoded header value may take: a request's few such
// headers then stay well inside Talmo's 16 KiB limit for all headers (over
// it, Talmo answers 431 and the message would be dropped).
export const HEADER_VALUE_MAX_BYTES = 3 * 1024;

// `text` as a header value: percent-encoded as encodeURIComponent does
// (Talmo decodes it), cut at whole characters so the encoded value stays
// within `maxBytes`. A lone surrogate becomes U+FFFD.
export function headerValue(text, maxBytes = HEADER_VALUE_MAX_BYTES) {
  let out = '';
  for (const ch of String(text).toWellFormed()) {
    const encoded = encodeURIComponent(ch);
    if (out.length + encoded.length > maxBytes) break;
    out += encoded;
  }
  return out;
}

// Where the queued files go, by kind of entry.
const MEDIA_ROUTES = {
  audio: '/whatsapp/incoming/audio',
  image: '/whatsapp/incoming/image',
  document: '/whatsapp/incoming/document',
};

// What each kind of queued entry is called in log lines.
function describe(entry) {
  if (entry.kind === 'audio') return 'voice note';
  if (entry.kind === 'image') return 'photo';
  if (entry.kind === 'document') return 'document';
  if (entry.kind === 'other') return `message of kind ${entry.type}`;
  return 'text message';
}

export class Forwarder {
  constructor({ queue, talmoUrl, token = '', logger, fetchImpl = globalThis.fetch,
    initialDelayMs = 1000, maxDelayMs = 60000 }) {
    Object.assign(this, { queue, talmoUrl, token, logger, fetchImpl, initialDelayMs, maxDelayMs });
    this.delayMs = initialDelayMs;
    this.running = null;
    this.endPause = null;
    this.stopped = false;
  }

  // Starts delivering if the loop is idle (a loop that is pausing keeps its
  // back-off: order holds). Returns the loop's promise.
  kick() {
    if (!this.running && !this.stopped) {
      this.running = this.loop().finally(() => { this.running = null; });
    }
    return this.running;
  }

  async stop() {
    this.stopped = true;
    if (this.endPause) this.endPause();
    await this.running;
  }

  async loop() {
    let entry;
    while (!this.stopped && (entry = this.queue.head())) {
      const verdict = await this.deliver(entry);
      if (this.stopped) return;
      if (verdict === 'retry') {
        await this.pause(this.delayMs);
        this.delayMs = Math.min(this.delayMs * 2, this.maxDelayMs);
      } else {
        this.queue.done(entry);
        this.delayMs = this.initialDelayMs;
      }
    }
  }

  pause(ms) {
    return new Promise((resolve) => {
      const timer = setTimeout(() => this.endPause(), ms);
      this.endPause = () => {
        clearTimeout(timer);
        this.endPause = null;
        resolve();
      };
    });
  }

  // 'taken', 'retry' or 'dropped'.
  async deliver(entry) {
    const what = describe(entry);
    let request;
    if (MEDIA_ROUTES[entry.kind]) {
      let bytes;
      try {
        bytes = this.queue.fileOf(entry);
      } catch (err) {
        this.logger.error(`The ${what} from ${entry.sender} is gone from the queue (${err.message}); dropped`);
        return 'dropped';
      }
      const contentType = entry.kind === 'audio' ? 'audio/ogg' : mediaType(entry.mimetype);
      request = {
        path: MEDIA_ROUTES[entry.kind],
        headers: { 'Content-Type': contentType, 'X-Sender': entry.sender },
        body: bytes,
        timeout: MEDIA_TIMEOUT_MS,
      };
      for (const [header, member] of [['X-File-Name', 'fileName'], ['X-Caption', 'caption'], ['X-Quoted', 'quoted']])
        if (entry[member]) request.headers[header] = headerValue(entry[member]);
    } else if (entry.kind === 'other') {
      request = {
        path: '/whatsapp/incoming/other',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ sender: entry.sender, kind: entry.type }),
        timeout: TEXT_TIMEOUT_MS,
      };
    } else {
      const body = { sender: entry.sender, message: entry.text };
      if (entry.quoted) body.quoted = entry.quoted;
      request = {
        path: '/whatsapp/incoming/text',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
        timeout: TEXT_TIMEOUT_MS,
      };
    }
    if (this.token) request.headers.Authorization = `Bearer ${this.token}`;

    const retryIn = `kept; retrying in ${Math.round(this.delayMs / 100) / 10} s`;
    let res;
    let text;
    try {
      res = await this.fetchImpl(this.talmoUrl + request.path, {
        method: 'POST', headers: request.headers, body: request.body, signal: AbortSignal.timeout(request.timeout),
      });
      text = await res.text();
    } catch (err) {
      const reason = err.name === 'TimeoutError' ? 'no answer in time' : (err.cause?.code ?? err.message);
      this.logger.warning(`Talmo at ${this.talmoUrl} could not be reached (${reason}); the ${what} from ${entry.sender} is ${retryIn}`);
      return 'retry';
    }
    if (res.status === 401 || res.status === 403) {
      this.logger.error(`Talmo refused the bridge (HTTP ${res.status}): BRIDGE_TOKEN or the address must match Talmo's configuration; the ${what} from ${entry.sender} is ${retryIn}`);
      return 'retry';
    }
    if (res.status >= 500) {
      this.logger.warning(`Talmo answered HTTP ${res.status}; the ${what} from ${entry.sender} is ${retryIn}`);
      return 'retry';
    }
    if (res.status < 200 || res.status >= 300) {
      this.logger.error(`Talmo answered HTTP ${res.status} to the ${what} from ${entry.sender}, which will not change on a retry; dropped`);
      return 'dropped';
    }
    let answer;
    try {
      answer = JSON.parse(text);
    } catch {
      answer = null;
    }
    const status = answer && typeof answer === 'object' ? answer.status : undefined;
    if (typeof status !== 'string' || status === 'error') {
      this.logger.warning(`Talmo could not take the ${what} from ${entry.sender} (${status === 'error' ? 'it reported an error' : 'an answer without a status'}); ${retryIn}`);
      return 'retry';
    }
    if (status === 'received') {
      this.logger.success(`Forwarded the ${what} from ${entry.sender} to Talmo`);
    } else {
      const reason = typeof answer.reason === 'string' ? `: ${answer.reason}` : '';
      this.logger.info(`Talmo answered "${status}"${reason} to the ${what} from ${entry.sender}`);
    }
    return 'taken';
  }
}
