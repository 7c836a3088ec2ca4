// The queue of messages on their way in, from WhatsApp to Talmo, kept on
// disk so that neither a Talmo that is down nor a restart of the bridge loses
// one, and so that a message WhatsApp delivers again after a restart is not
// forwarded twice. The other way, Talmo's texts for the owner, is queued by
// Talmo itself (its outbox, in talmo.db); the bridge keeps nothing of those.
//
// outbox.json holds the pending messages in arrival order and the ids of the
// latest messages already taken care of; the bytes of a voice note, photo or
// document sit beside it in outbox/<n>.ogg, <n>.image or <n>.document until
// Talmo took them. The file and folder keep the names they had before this
// class was called TalmoQueue, so that a bridge updated in place still finds
// the messages an older one queued (and the ids it already handled).
import fs from 'node:fs';
import path from 'node:path';

// How many ids of handled messages are remembered. WhatsApp redelivers only
// recent messages, so a few thousand reach back far enough.
const REMEMBERED_IDS = 5000;

// The members of `fields` that are set.
function optional(fields) {
  return Object.fromEntries(Object.entries(fields).filter(([, v]) => v !== undefined && v !== null));
}

function writeAtomically(file, text) {
  const temp = `${file}.tmp`;
  const fd = fs.openSync(temp, 'w', 0o600);
  try {
    fs.writeSync(fd, text);
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
  fs.renameSync(temp, file);
}

export class TalmoQueue {
  // `cap`: the most messages kept; past it the oldest is dropped with an error line.
  constructor({ dir, cap = 1000, logger }) {
    this.dir = dir;
    // The old names, kept for the queues existing installs hold (see above).
    this.file = path.join(dir, 'outbox.json');
    this.audioDir = path.join(dir, 'outbox');
    this.cap = cap;
    this.logger = logger;
    this.pending = [];
    this.handled = [];
    this.handledSet = new Set();
    this.counter = 0;
    this.load();
  }

  load() {
    let text;
    try {
      text = fs.readFileSync(this.file, 'utf8');
    } catch (err) {
      if (err.code === 'ENOENT') return;
      throw err;
    }
    try {
      const state = JSON.parse(text);
      if (!Array.isArray(state.pending) || !Array.isArray(state.handled)) throw new Error('unexpected layout');
      this.pending = state.pending.filter((e) => e && typeof e.id === 'string');
      this.handled = state.handled.filter((id) => typeof id === 'string');
      this.counter = Number.isSafeInteger(state.counter) ? state.counter : 0;
    } catch (err) {
      // Kept aside for a person to look at; the bridge goes on with an empty queue.
      const aside = `${this.file}.broken-${Date.now()}`;
      fs.renameSync(this.file, aside);
      this.logger.error(`The message queue ${this.file} could not be read (${err.message}); moved to ${aside}`);
      this.pending = [];
      this.handled = [];
    }
    this.handledSet = new Set(this.handled);
  }

  save() {
    writeAtomically(this.file, JSON.stringify({ counter: this.counter, pending: this.pending, handled: this.handled }));
  }

  get size() {
    return this.pending.length;
  }

  // Whether the message `id` is queued or was already taken care of.
  has(id) {
    return this.handledSet.has(id) || this.pending.some((e) => e.id === id);
  }

  head() {
    return this.pending[0] ?? null;
  }

  // Remembers `id` as taken care of without queueing anything (e.g. a
  // message the bridge sent itself).
  remember(id) {
    this.rememberId(id);
    this.save();
  }

  rememberId(id) {
    if (this.handledSet.has(id)) return;
    this.handled.push(id);
    this.handledSet.add(id);
    while (this.handled.length > REMEMBERED_IDS) this.handledSet.delete(this.handled.shift());
  }

  // Queues a text: {id, sender, text, quoted (the text replied to, optional)}.
  addText({ id, sender, text, quoted }) {
    this.push({ id, kind: 'text', sender, text, ...(quoted ? { quoted } : {}) });
  }

  // Queues a voice note: {id, sender, audio (bytes), quoted (optional)}; the
  // bytes go to a file first.
  addAudio({ id, sender, audio, quoted }) {
    this.pushFile({ id, kind: 'audio', sender, ...(quoted ? { quoted } : {}) }, audio, 'ogg');
  }

  // Queues a photo: {id, sender, bytes, mimetype, caption, quoted (both optional)}.
  addImage({ id, sender, bytes, mimetype, caption, quoted }) {
    this.pushFile({ id, kind: 'image', sender, mimetype, ...optional({ caption, quoted }) }, bytes, 'image');
  }

  // Queues a document: {id, sender, bytes, mimetype, fileName, caption, quoted (the last three optional)}.
  addDocument({ id, sender, bytes, mimetype, fileName, caption, quoted }) {
    this.pushFile({ id, kind: 'document', sender, mimetype, ...optional({ fileName, caption, quoted }) }, bytes, 'document');
  }

  // The bytes go to a file of their own first, so the queue never names a missing file.
  pushFile(entry, bytes, extension) {
    fs.mkdirSync(this.audioDir, { recursive: true, mode: 0o700 });
    const file = path.join(this.audioDir, `${++this.counter}.${extension}`);
    writeAtomically(file, bytes);
    this.push({ ...entry, file: path.basename(file) });
  }

  // Queues a message Talmo cannot read, so it can say so: {id, sender, type}
  // (type: 'sticker', 'video', ...).
  addOther({ id, sender, type }) {
    this.push({ id, kind: 'other', sender, type });
  }

  // The bytes of a queued voice note, photo or document.
  fileOf(entry) {
    return fs.readFileSync(path.join(this.audioDir, path.basename(entry.file)));
  }

  push(entry) {
    this.pending.push({ ...entry, queuedAt: new Date().toISOString() });
    const dropped = [];
    while (this.pending.length > this.cap) {
      const oldest = this.pending.shift();
      this.logger.error(
        `The queue for Talmo is full (${this.cap} messages): dropped the oldest, a ${oldest.type ?? oldest.kind} message from ${oldest.sender} received ${oldest.queuedAt}`);
      this.rememberId(oldest.id);
      dropped.push(oldest);
    }
    this.save();
    dropped.forEach((e) => this.removeFile(e));
  }

  // `entry` was delivered (or never will be): it leaves the queue for good.
  done(entry) {
    const at = this.pending.indexOf(entry);
    if (at >= 0) this.pending.splice(at, 1);
    this.rememberId(entry.id);
    this.save();
    // Only once the queue no longer names it, so a crash never leaves an entry without its bytes.
    this.removeFile(entry);
  }

  removeFile(entry) {
    if (typeof entry.file === 'string') fs.rmSync(path.join(this.audioDir, path.basename(entry.file)), { force: true });
  }
}
