// One line per event, in the same forms as Talmo's own lines:
//   text:    "2026-05-01 09:30:00.123+02:00 | INFO    | text" (local time with its UTC offset);
//   journal: "<6>INFO    | text" when standard error is the systemd journal's stream;
//   json:    {"time": "2026-05-01T09:30:00.123+02:00", "level": "info", "message": "text"}.
// Lines go to standard error, or to BRIDGE_LOG_FILE, rotated by size.
// Message contents belong at debug level only; no key is ever logged.
import fs from 'node:fs';
import path from 'node:path';

export const LEVELS = ['debug', 'info', 'success', 'warning', 'error'];
const PRIORITY = { debug: 7, info: 6, success: 5, warning: 4, error: 3 };

const hex = (prefix, code, width) => `${prefix}${code.toString(16).padStart(width, '0')}`;

// Characters that could forge or disguise a line: C0, DEL and C1 controls,
// the line and paragraph separators, and the marks that reorder text on
// screen (U+200E, U+200F, U+202A–U+202E, U+2066–U+2069). Lone surrogates
// (text that cannot be written as UTF-8) are escaped too.
const UNSAFE = /[\u0000-\u001f\u007f-\u009f\u200e\u200f\u2028-\u202e\u2066-\u2069]|[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g;

function escapeText(text) {
  return text.replace(UNSAFE, (c) => {
    switch (c) {
      case '\n': return '\\n';
      case '\r': return '\\r';
      case '\t': return '\\t';
      default: {
        const code = c.charCodeAt(0);
        return code < 0x20 || code === 0x7f ? hex('\\x', code, 2) : hex('\\u', code, 4);
      }
    }
  });
}

// The length of the well-formed UTF-8 sequence at `i`, or 0.
function utf8Length(bytes, i) {
  const b = bytes[i];
  if (b < 0x80) return 1;
  const cont = (k) => i + k < bytes.length && (bytes[i + k] & 0xc0) === 0x80;
  if (b >= 0xc2 && b <= 0xdf) return cont(1) ? 2 : 0;
  if (b >= 0xe0 && b <= 0xef) {
    if (!cont(1) || !cont(2)) return 0;
    const second = bytes[i + 1];
    if ((b === 0xe0 && second < 0xa0) || (b === 0xed && second > 0x9f)) return 0;  // overlong, surrogate
    return 3;
  }
  if (b >= 0xf0 && b <= 0xf4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    const second = bytes[i + 1];
    if ((b === 0xf0 && second < 0x90) || (b === 0xf4 && second > 0x8f)) return 0;
    return 4;
  }
  return 0;
}

// A value made safe for one log line. Bytes (a Buffer) are read as UTF-8,
// each byte that is not part of a valid sequence written as "\xNN".
export function escapeLogValue(value) {
  if (!Buffer.isBuffer(value) && !(value instanceof Uint8Array)) return escapeText(String(value));
  const bytes = Buffer.from(value.buffer ?? value, value.byteOffset ?? 0, value.byteLength ?? value.length);
  let out = '';
  let start = 0;
  let i = 0;
  while (i < bytes.length) {
    const n = utf8Length(bytes, i);
    if (n) {
      i += n;
      continue;
    }
    out += bytes.toString('utf8', start, i) + hex('\\x', bytes[i], 2);
    i += 1;
    start = i;
  }
  return escapeText(out + bytes.toString('utf8', start, i));
}

// Kept under its old name for callers that escape a single value.
export const escapeControls = escapeLogValue;

// The level named by TALMO_LOG_LEVEL's text, or null.
export function parseLevel(text) {
  const name = String(text ?? '').trim().toLowerCase();
  return LEVELS.includes(name) ? name : null;
}

// "2026-05-01<sep>09:30:00.123+02:00" in the machine's zone.
export function localTime(date, separator = ' ') {
  const p = (n, w = 2) => String(n).padStart(w, '0');
  const offset = -date.getTimezoneOffset();
  const abs = Math.abs(offset);
  return `${date.getFullYear()}-${p(date.getMonth() + 1)}-${p(date.getDate())}${separator}` +
    `${p(date.getHours())}:${p(date.getMinutes())}:${p(date.getSeconds())}.${p(date.getMilliseconds(), 3)}` +
    `${offset < 0 ? '-' : '+'}${p(Math.floor(abs / 60))}:${p(abs % 60)}`;
}

// The line for one record, without the line break. `output`: {json, journal, file}.
export function formatLine(output, level, message, date = new Date()) {
  if (output.json) return JSON.stringify({ time: localTime(date, 'T'), level, message });
  const padded = level.toUpperCase().padEnd(7);
  if (output.journal && !output.file) return `<${PRIORITY[level]}>${padded} | ${message}`;
  return `${localTime(date)} | ${padded} | ${message}`;
}

// Whether standard error is the journal's stream: JOURNAL_STREAM
// ("<device>:<inode>") names the file descriptor 2 is open on.
export function stderrIsJournal(journalStream, fd = 2) {
  const match = /^(\d+):(\d+)$/.exec(String(journalStream ?? ''));
  if (!match) return false;
  try {
    const st = fs.fstatSync(fd, { bigint: true });
    return st.dev === BigInt(match[1]) && st.ino === BigInt(match[2]);
  } catch {
    return false;
  }
}

function processAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (err) {
    return err.code === 'EPERM';
  }
}

// Takes "<file>.lock" for this process, so two bridges never write one log
// file; a lock left by a process that is gone is taken over. Throws naming
// the holder.
function lockLogFile(file) {
  const lock = `${file}.lock`;
  for (let attempt = 0; attempt < 2; attempt++) {
    try {
      const fd = fs.openSync(lock, 'wx', 0o600);
      fs.writeSync(fd, `${process.pid}\n`);
      fs.closeSync(fd);
      return lock;
    } catch (err) {
      if (err.code !== 'EEXIST') throw err;
      const holder = Number.parseInt(fs.readFileSync(lock, 'utf8'), 10);
      if (holder > 0 && processAlive(holder))
        throw new Error(`process ${holder} already writes it (${lock})`);
      fs.rmSync(lock, { force: true });
    }
  }
  throw new Error(`cannot take ${lock}`);
}

// Appends lines to `file`; before a line would take it past `size` bytes, it
// becomes <name>.1<ext> (older ones shift up to <name>.<count><ext>, the
// oldest is dropped) and a new file is started.
export class RotatingFile {
  constructor(file, { size = 10 * 1024 * 1024, count = 5 } = {}) {
    this.file = file;
    this.size = size;
    this.count = Math.max(1, count);
    fs.mkdirSync(path.dirname(file), { recursive: true, mode: 0o700 });
    this.lock = lockLogFile(file);
    this.open();
  }

  open() {
    this.fd = fs.openSync(this.file, 'a', 0o600);
    this.written = fs.fstatSync(this.fd).size;
  }

  rotated(n) {
    const ext = path.extname(this.file);
    return `${this.file.slice(0, this.file.length - ext.length)}.${n}${ext}`;
  }

  write(line) {
    const bytes = Buffer.from(line);
    if (this.written > 0 && this.written + bytes.length > this.size) {
      fs.closeSync(this.fd);
      fs.rmSync(this.rotated(this.count), { force: true });
      for (let n = this.count - 1; n >= 1; n--) {
        if (fs.existsSync(this.rotated(n))) fs.renameSync(this.rotated(n), this.rotated(n + 1));
      }
      fs.renameSync(this.file, this.rotated(1));
      this.open();
    }
    fs.writeSync(this.fd, bytes);
    this.written += bytes.length;
  }

  close() {
    if (this.fd === null) return;
    fs.closeSync(this.fd);
    this.fd = null;
    fs.rmSync(this.lock, { force: true });
  }
}

// A logger writing lines at `level` or above. `output` ({json, journal,
// file, fileSize, fileCount}) picks the form and the place (standard error
// by default); `write` replaces the place. Tests pass `records` to collect
// {level, message} instead.
export function createLogger({ level = 'info', output = {}, write = null, records = null, now = () => new Date() } = {}) {
  const threshold = LEVELS.indexOf(level);
  let sink = write;
  let file = null;
  if (!sink && output.file) {
    file = new RotatingFile(output.file, { size: output.fileSize, count: output.fileCount });
    sink = (line) => file.write(line);
  }
  sink ??= (line) => process.stderr.write(line);
  const logger = { level, close: () => file?.close() };
  for (const name of LEVELS) {
    logger[name] = (message) => {
      const text = escapeLogValue(message);
      if (records) records.push({ level: name, message: text });
      if (LEVELS.indexOf(name) < threshold) return;
      if (!records) sink(`${formatLine(output, name, text, now())}\n`);
    };
  }
  logger.enabled = (name) => LEVELS.indexOf(name) >= threshold;
  return logger;
}

// The logger the WhatsApp library expects (pino's shape). Its lines carry
// protocol details and sometimes message data, so only its warnings and
// errors pass, and only at debug level, without the objects it attaches.
export function libraryLogger(logger) {
  const quiet = () => {};
  const lib = {
    level: logger.enabled('debug') ? 'warn' : 'silent',
    child: () => lib,
    trace: quiet,
    debug: quiet,
    info: quiet,
    warn: (obj, msg) => logger.debug(`whatsapp library: ${typeof obj === 'string' ? obj : msg ?? ''}`),
    error: (obj, msg) => logger.debug(`whatsapp library error: ${typeof obj === 'string' ? obj : msg ?? ''}`),
    fatal: (obj, msg) => logger.debug(`whatsapp library error: ${typeof obj === 'string' ? obj : msg ?? ''}`),
  };
  return lib;
}
