// One line per event on stderr, in the same layout as Talmo's own lines:
// "2026-05-01 09:30:00.123 | INFO    | text". Message contents belong at
// debug level only; no key is ever logged.

export const LEVELS = ['debug', 'info', 'success', 'warning', 'error'];

// Control characters (C0, DEL, C1, U+2028, U+2029) written as escapes, so a
// value spliced into a line can never start a forged one.
export function escapeControls(text) {
  return String(text).replace(/[\u0000-\u001f\u007f-\u009f\u2028\u2029]/g, (c) => {
    switch (c) {
      case '\n': return '\\n';
      case '\r': return '\\r';
      case '\t': return '\\t';
      default: {
        const code = c.charCodeAt(0);
        return code > 0xff ? `\\u${code.toString(16).padStart(4, '0')}` : `\\x${code.toString(16).padStart(2, '0')}`;
      }
    }
  });
}

// The level named by TALMO_LOG_LEVEL's text; info when it names none.
export function parseLevel(text) {
  const name = String(text ?? '').trim().toLowerCase();
  return LEVELS.includes(name) ? name : null;
}

function timestamp(date) {
  const p = (n, w = 2) => String(n).padStart(w, '0');
  return `${date.getFullYear()}-${p(date.getMonth() + 1)}-${p(date.getDate())} ` +
    `${p(date.getHours())}:${p(date.getMinutes())}:${p(date.getSeconds())}.${p(date.getMilliseconds(), 3)}`;
}

// A logger writing lines at `level` or above to `write` (stderr by default).
// Tests pass `records` to collect {level, message} instead.
export function createLogger({ level = 'info', write = (line) => process.stderr.write(line), records = null } = {}) {
  const threshold = LEVELS.indexOf(level);
  const logger = { level };
  for (const name of LEVELS) {
    logger[name] = (message) => {
      const text = escapeControls(message);
      if (records) records.push({ level: name, message: text });
      if (LEVELS.indexOf(name) < threshold) return;
      if (!records) write(`${timestamp(new Date())} | ${name.toUpperCase().padEnd(7)} | ${text}\n`);
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
