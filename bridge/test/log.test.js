// The bridge's log lines: Talmo's forms, values escaped, its own rotated file.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { createLogger, escapeLogValue, formatLine, localTime, stderrIsJournal } from '../src/log.js';
import { tempHome } from './helpers.js';

const homes = [];
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

test('lines take the text, journal and JSON forms', () => {
  const when = new Date(Date.UTC(2026, 4, 1, 7, 30, 0, 123));
  const offset = localTime(when).slice(-6);
  assert.match(offset, /^[+-]\d\d:\d\d$/);
  const lines = [];
  const logger = createLogger({ level: 'info', write: (l) => lines.push(l), now: () => when });
  logger.debug('hidden');
  logger.success('done');
  assert.deepEqual(lines, [`${localTime(when)} | SUCCESS | done\n`]);
  assert.match(localTime(when), /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.123[+-]\d\d:\d\d$/);
  for (const [output, level, line] of [
    [{}, 'warning', `${localTime(when)} | WARNING | m`],
    [{ journal: true }, 'error', '<3>ERROR   | m'],
    [{ journal: true }, 'success', '<5>SUCCESS | m'],
    [{ journal: true }, 'debug', '<7>DEBUG   | m'],
    [{ journal: true, file: '/x.log' }, 'info', `${localTime(when)} | INFO    | m`],
    [{ json: true }, 'info', `{"time":"${localTime(when, 'T')}","level":"info","message":"m"}`],
  ]) assert.equal(formatLine(output, level, 'm', when), line, JSON.stringify(output));

  // The journal form only when JOURNAL_STREAM names the very file standard error is open on.
  const home = tempHome();
  homes.push(home);
  const fd = fs.openSync(path.join(home, 'stream'), 'w');
  const st = fs.fstatSync(fd);
  assert.equal(stderrIsJournal(`${st.dev}:${st.ino}`, fd), true);
  for (const other of [`${st.dev}:${st.ino + 1}`, '', undefined, 'garbage']) assert.equal(stderrIsJournal(other, fd), false, other);
  fs.closeSync(fd);
});

test('every value is escaped so one record stays one honest line', () => {
  for (const [value, escaped] of [
    ['a\nb\r\tc', 'a\\nb\\r\\tc'],
    ['\u001b[31m\u007f', '\\x1b[31m\\x7f'],
    ['\u0085\u2028\u2029', '\\u0085\\u2028\\u2029'],
    ['pay \u202eevil\u202c \u200e\u200f\u202a\u202b\u202d\u2066\u2067\u2068\u2069', 'pay \\u202eevil\\u202c \\u200e\\u200f\\u202a\\u202b\\u202d\\u2066\\u2067\\u2068\\u2069'],
    ['lone \ud800 high, lone \udc00 low, pair 😀', 'lone \\ud800 high, lone \\udc00 low, pair 😀'],
    [Buffer.from([0x6f, 0x6b, 0xff, 0xc3, 0xa9, 0xc3, 0x28, 0xe2, 0x82, 0x0a]), 'ok\\xffé\\xc3(\\xe2\\x82\\n'],
    [Buffer.from([0xed, 0xa0, 0x80, 0xc0, 0xaf]), '\\xed\\xa0\\x80\\xc0\\xaf'],
    ['ünïcode ✓ stays', 'ünïcode ✓ stays'],
  ]) assert.equal(escapeLogValue(value), escaped, JSON.stringify(String(value)));
  const records = [];
  createLogger({ records }).info('x\ny');
  assert.deepEqual(records, [{ level: 'info', message: 'x\\ny' }]);
});

test('BRIDGE_LOG_FILE is rotated by size, keeps the number of files asked for, and is never written by two bridges', () => {
  const home = tempHome();
  homes.push(home);
  const file = path.join(home, 'logs', 'bridge.log');
  const logger = createLogger({ output: { json: true, file, fileSize: 1024, fileCount: 2 } });
  assert.throws(() => createLogger({ output: { file, fileSize: 1024, fileCount: 2 } }), new RegExp(`process ${process.pid} already writes it`));
  for (let i = 0; i < 40; i++) logger.info(`line ${i} ${'x'.repeat(80)}`);
  logger.close();
  assert.deepEqual(fs.readdirSync(path.dirname(file)).sort(), ['bridge.1.log', 'bridge.2.log', 'bridge.log']);
  const all = ['bridge.2.log', 'bridge.1.log', 'bridge.log'].flatMap((n) => fs.readFileSync(path.join(path.dirname(file), n), 'utf8').trim().split('\n'));
  for (const name of ['bridge.1.log', 'bridge.2.log']) assert.ok(fs.statSync(path.join(path.dirname(file), name)).size <= 1024);
  const numbers = all.map((l) => Number(JSON.parse(l).message.split(' ')[1]));
  assert.deepEqual(numbers, Array.from({ length: numbers.length }, (_, i) => 40 - numbers.length + i), 'the newest lines, in order');
  assert.ok(numbers.length < 40, 'the oldest were dropped');

  // A lock left by a bridge that is gone is taken over.
  fs.writeFileSync(`${file}.lock`, '999999999\n');
  const next = createLogger({ output: { file } });
  next.info('after a crash');
  next.close();
  assert.match(fs.readFileSync(file, 'utf8'), /after a crash\n$/);
  assert.equal(fs.existsSync(`${file}.lock`), false);
});
