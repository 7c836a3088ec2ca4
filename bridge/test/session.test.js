// The WhatsApp session on disk: whole files or none, and what cannot be read is kept aside.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { createLogger } from '../src/log.js';
import { useSessionFiles } from '../src/session.js';
import { tempHome } from './helpers.js';

const homes = [];
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

test('session files are replaced whole, never rewritten in place, and read back as the library wrote them', async () => {
  const dir = path.join(tempHome(), 'session');
  homes.push(path.dirname(dir));
  const first = await useSessionFiles(dir, createLogger({ records: [] }));
  first.state.creds.account = { details: Buffer.from([1, 2, 3]) };
  await first.saveCreds();
  const before = fs.statSync(path.join(dir, 'creds.json')).ino;
  first.state.creds.me = { id: '4930111222333:7@s.whatsapp.net' };
  await first.saveCreds();
  // Written elsewhere and renamed over the old file: a crash mid-write leaves the old one whole.
  assert.notEqual(fs.statSync(path.join(dir, 'creds.json')).ino, before);
  await first.state.keys.set({ 'pre-key': { 1: { public: Buffer.from('pub'), private: Buffer.from('priv') }, 2: null }, session: { 'a:1.0': { x: 1 } } });
  await first.state.keys.set({ session: { 'a:1.0': null } });
  assert.deepEqual(fs.readdirSync(dir).sort(), ['creds.json', 'pre-key-1.json']);

  // A temporary file left by a crash is dropped, never read.
  fs.writeFileSync(path.join(dir, 'creds.json.tmp-4242'), '{"cut');
  const again = await useSessionFiles(dir, createLogger({ records: [] }));
  assert.deepEqual(again.state.creds.account.details, Buffer.from([1, 2, 3]));
  assert.equal(again.state.creds.me.id, '4930111222333:7@s.whatsapp.net');
  assert.deepEqual(await again.state.keys.get('pre-key', ['1', '2']), { 1: { public: Buffer.from('pub'), private: Buffer.from('priv') }, 2: null });
  assert.deepEqual(fs.readdirSync(dir).sort(), ['creds.json', 'pre-key-1.json']);
});

test('a session file cut short is moved aside and reported, not silently replaced', async () => {
  const dir = path.join(tempHome(), 'session');
  homes.push(path.dirname(dir));
  const session = await useSessionFiles(dir, createLogger({ records: [] }));
  session.state.creds.account = { details: 'x' };
  await session.saveCreds();
  await session.state.keys.set({ 'pre-key': { 7: { public: 'p' } } });
  for (const name of ['creds.json', 'pre-key-7.json']) {
    const text = fs.readFileSync(path.join(dir, name), 'utf8');
    fs.writeFileSync(path.join(dir, name), text.slice(0, Math.floor(text.length / 2)));
  }
  const records = [];
  const reopened = await useSessionFiles(dir, createLogger({ records }));
  assert.equal(reopened.state.creds.account, undefined, 'fresh credentials: the bridge pairs again');
  assert.deepEqual(await reopened.state.keys.get('pre-key', ['7']), { 7: null });
  const aside = fs.readdirSync(dir).filter((n) => n.includes('.unreadable-')).sort();
  assert.equal(aside.length, 2);
  assert.match(aside[0], /^creds\.json\.unreadable-\d{8}-\d{6}$/);
  assert.deepEqual(records.map((r) => r.level), ['error', 'error']);
  assert.match(records[0].message, new RegExp(`^The WhatsApp session file ${path.join(dir, 'creds.json')} could not be read \\(.+\\), so it was moved to ${path.join(dir, aside[0])}: the bridge starts unpaired, pair it again$`));
  assert.ok(records[1].message.includes('pre-key-7.json'));
});
