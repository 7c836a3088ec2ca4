// Every kind of message the owner can send, built as WhatsApp sends it and
// decoded by the library's own decoder (decryptMessageNode on a plaintext
// stanza, then cleanMessage: what the socket does before it publishes a
// message, Socket/messages-recv.js), then classified and forwarded.
// Message members as declared in WAProto/WAProto.proto, `message Message`.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { after, afterEach, test } from 'node:test';
import { cleanMessage, decryptMessageNode, downloadMediaMessage, encryptedStream, proto } from 'baileys';
import { Bridge } from '../src/bridge.js';
import { headerValue, HEADER_VALUE_MAX_BYTES } from '../src/forwarder.js';
import { classify, DOCUMENT_MAX_BYTES, firstChars, QUOTED_MAX_CHARS } from '../src/messages.js';
import { fakeDeps, fakeTalmo, FakeSocket, tempHome, testConfig, until } from './helpers.js';

const OWNER = '4915123456789';
const ME = '4930111222333:7@s.whatsapp.net';
const ME_LID = '99887766:7@lid';
const silent = { error() {}, warn() {}, info() {}, debug() {}, trace() {}, child() { return this; } };

let counter = 0;
// `message` (a plain object of proto.Message) as the socket would publish it;
// `extra` are further stanza children (e.g. <unavailable type="view_once"/>).
async function decoded(message, extra = []) {
  const content = message
    ? [{ tag: 'plaintext', attrs: {}, content: proto.Message.encode(proto.Message.fromObject(message)).finish() }]
    : [];
  const stanza = {
    tag: 'message',
    attrs: { id: `3EB0TEST${++counter}`, from: `${OWNER}@s.whatsapp.net`, t: String(Math.floor(Date.now() / 1000)), type: 'text' },
    content: [...content, ...extra],
  };
  const repository = { lidMapping: { getLIDForPN: async () => null } };
  const { fullMessage, decrypt } = decryptMessageNode(stanza, ME, ME_LID, repository, silent);
  await decrypt();
  cleanMessage(fullMessage, ME, ME_LID);
  return fullMessage;
}

const VCARD = [
  'BEGIN:VCARD', 'VERSION:3.0', 'N:Muster;Anna;;;', 'FN:Anna Muster',
  'item1.TEL;waid=4915111111111:+49 151 11111111', 'item1.X-ABLabel:Mobile',
  'TEL;type=WORK;type=VOICE:030 1234-5678', 'END:VCARD',
].join('\n');

test('each kind of message is forwarded as text, as a voice note, photo or document, as a kind Talmo cannot read, or ignored', async () => {
  const cases = [
    // [name, message, expected]
    ['plain text', { conversation: 'hi' }, { kind: 'text', text: 'hi' }],
    ['extended text', { extendedTextMessage: { text: 'a link https://x.y' } }, { kind: 'text', text: 'a link https://x.y' }],
    ['location with name, address and comment',
      { locationMessage: { degreesLatitude: 48.210424, degreesLongitude: 16.36551, name: 'Café Central', address: 'Herrengasse 14, Wien', comment: 'weather here?' } },
      { kind: 'text', text: '📍 Location: Café Central, Herrengasse 14, Wien (48.2104, 16.3655)\nweather here?' }],
    ['location with coordinates only', { locationMessage: { degreesLatitude: 48.21042, degreesLongitude: 16.36551 } },
      { kind: 'text', text: '📍 Location: (48.2104, 16.3655)' }],
    ['location with an address only', { locationMessage: { degreesLatitude: -33.8688, degreesLongitude: 151.2093, address: 'Sydney' } },
      { kind: 'text', text: '📍 Location: Sydney (-33.8688, 151.2093)' }],
    ['live location with a caption', { liveLocationMessage: { degreesLatitude: 1.5, degreesLongitude: -2.25, caption: 'on my way' } },
      { kind: 'text', text: '📍 Live location: (1.5000, -2.2500)\non my way' }],
    ['contact with two numbers', { contactMessage: { displayName: 'Anna', vcard: VCARD } },
      { kind: 'text', text: '👤 Contact: Anna, +49 151 11111111, 030 1234-5678' }],
    ['several contacts', {
      contactsArrayMessage: { displayName: '2 contacts', contacts: [
        { displayName: 'Anna', vcard: VCARD },
        { vcard: 'BEGIN:VCARD\r\nFN:Bob\r\nTEL:+1 555\r\n 0100\r\nEND:VCARD' }] },
    }, { kind: 'text', text: '👤 Contact: Anna, +49 151 11111111, 030 1234-5678\n👤 Contact: Bob, +1 5550100' }],
    ['voice note', { audioMessage: { ptt: true, mimetype: 'audio/ogg; codecs=opus', seconds: 3 } }, { kind: 'voice' }],
    ['audio file', { audioMessage: { ptt: false, mimetype: 'audio/mpeg' } }, { kind: 'other', type: 'audio' }],
    ['sticker', { stickerMessage: { mimetype: 'image/webp' } }, { kind: 'other', type: 'sticker' }],
    ['animated sticker', { lottieStickerMessage: { message: { stickerMessage: { isLottie: true } } } }, { kind: 'other', type: 'sticker' }],
    ['video', { videoMessage: { caption: 'look', seconds: 4 } }, { kind: 'other', type: 'video' }],
    ['gif', { videoMessage: { gifPlayback: true } }, { kind: 'other', type: 'gif' }],
    ['video note', { ptvMessage: { seconds: 5 } }, { kind: 'other', type: 'video_note' }],
    ['poll', { pollCreationMessageV3: { name: 'Lunch?', options: [{ optionName: 'yes' }], selectableOptionsCount: 1 } }, { kind: 'other', type: 'poll' }],
    ['event', { eventMessage: { name: 'Dinner', startTime: 1700000000 } }, { kind: 'other', type: 'event' }],
    ['photo', { imageMessage: { caption: 'what is this?', mimetype: 'image/jpeg' } }, { kind: 'image', mimetype: 'image/jpeg', caption: 'what is this?' }],
    ['document with caption', { documentWithCaptionMessage: { message: { documentMessage: { fileName: 'a.pdf', caption: 'read', fileLength: 3e7 } } } },
      { kind: 'document', mimetype: 'application/octet-stream', fileName: 'a.pdf', caption: 'read', declaredBytes: 3e7 }],
    ['view-once photo with its content', { viewOnceMessageV2: { message: { imageMessage: { viewOnce: true } } } }, { kind: 'image', mimetype: 'application/octet-stream' }],
    ['something new', { scheduledCallCreationMessage: { title: 'Call' } }, { kind: 'other', type: 'other' }],
    ['reaction', { reactionMessage: { text: '👍', key: { remoteJid: `${OWNER}@s.whatsapp.net`, fromMe: true, id: 'X' } } }, { kind: 'ignored', what: 'a reaction' }],
    ['edit', { protocolMessage: { type: 14, editedMessage: { conversation: 'edited' } } }, { kind: 'ignored', what: 'an edit or deletion' }],
    ['deletion', { protocolMessage: { type: 0, key: { id: 'X' } } }, { kind: 'ignored', what: 'an edit or deletion' }],
    ['poll vote', { pollUpdateMessage: { pollCreationMessageKey: { id: 'X' } } }, { kind: 'ignored', what: 'a poll vote' }],
    ['album announcement', { albumMessage: { expectedImageCount: 2 } }, { kind: 'ignored', what: 'the announcement of an album' }],
  ];
  for (const [name, message, expected] of cases)
    assert.deepEqual(classify(await decoded(message)), expected, name);

  // A view-once photo reaches a linked device as <unavailable type="view_once"/>
  // with no content (Utils/decode-wa-message.js).
  assert.deepEqual(classify(await decoded(null, [{ tag: 'unavailable', attrs: { type: 'view_once' } }])),
    { kind: 'other', type: 'view_once' });
  // A stanza with nothing to decrypt becomes a CIPHERTEXT stub: WhatsApp may still resend it.
  assert.equal(classify(await decoded(null)).kind, 'ignored');
});

test('a reply carries the quoted text, caption or kind, cut to 1,000 characters', async () => {
  const reply = (quotedMessage, outer = 'extendedTextMessage', extra = { text: 'move this to 5pm' }) =>
    decoded({ [outer]: { ...extra, contextInfo: { stanzaId: 'Q1', participant: ME, quotedMessage } } });
  const long = 'ж'.repeat(QUOTED_MAX_CHARS + 5);
  const cases = [
    [{ conversation: 'Reminder: dentist at 3pm' }, 'Reminder: dentist at 3pm'],
    [{ extendedTextMessage: { text: long } }, 'ж'.repeat(QUOTED_MAX_CHARS)],
    [{ imageMessage: { mimetype: 'image/jpeg' } }, 'a photo'],
    [{ imageMessage: { caption: 'the receipt' } }, 'the receipt'],
    [{ audioMessage: { ptt: true, seconds: 2 } }, 'a voice note'],
    [{ documentWithCaptionMessage: { message: { documentMessage: { fileName: 'x.pdf' } } } }, 'a document'],
    [{ videoMessage: {} }, 'a video'],
    [{ stickerMessage: {} }, 'a sticker'],
    [{ locationMessage: { degreesLatitude: 1, degreesLongitude: 2 } }, 'a location'],
    [{ contactMessage: { displayName: 'Anna' } }, 'a contact'],
  ];
  for (const [quoted, text] of cases)
    assert.deepEqual(classify(await reply(quoted)), { kind: 'text', text: 'move this to 5pm', quoted: text }, text.slice(0, 20));
  // A voice note that replies, and a location that replies.
  assert.deepEqual(classify(await reply({ conversation: 'Call mom?' }, 'audioMessage', { ptt: true })),
    { kind: 'voice', quoted: 'Call mom?' });
  assert.deepEqual(classify(await reply({ conversation: 'Where are you?' }, 'locationMessage', { degreesLatitude: 1, degreesLongitude: 2 })),
    { kind: 'text', text: '📍 Location: (1.0000, 2.0000)', quoted: 'Where are you?' });
});

test('a header value is percent-encoded and cut at whole characters to 3 KiB, decoding to a prefix', () => {
  for (const unit of ['ж', '😀', 'a ', 'é😀ж']) {
    const original = unit.repeat(Math.ceil(1000 / [...unit].length)).slice(0, 1000);
    const value = headerValue(original);
    assert.ok(Buffer.byteLength(value) <= HEADER_VALUE_MAX_BYTES, `${unit}: ${value.length} bytes`);
    assert.match(value, /^[A-Za-z0-9%!'()*._~-]*$/);
    const back = decodeURIComponent(value);
    assert.ok(original.startsWith(back) && back.length > 0, unit);
    // Cut only when the whole text does not fit.
    const chars = [...original];
    const kept = [...back].length;
    if (encodeURIComponent(original).length <= HEADER_VALUE_MAX_BYTES) assert.equal(back, original);
    else assert.ok(encodeURIComponent(back + chars[kept]).length > HEADER_VALUE_MAX_BYTES, `${unit}: cut too short`);
  }
  assert.equal(decodeURIComponent(headerValue('a\uD800b')), 'a\uFFFDb');
});

const homes = [];
const closers = [];
afterEach(async () => { while (closers.length) await closers.pop()(); });
after(() => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

test('quotes travel in the text body and the X-Quoted header; other kinds go to /other; the ignored are logged at info', async () => {
  const talmo = await fakeTalmo();
  closers.push(talmo.close);
  const home = tempHome();
  homes.push(home);
  const fake = fakeDeps({ socketFor: () => new FakeSocket({ number: '4930111222333' }) });
  const bridge = new Bridge(testConfig(home, { talmoUrl: talmo.url, owner: OWNER }), fake.deps);
  closers.push(() => bridge.stop());
  await bridge.start();
  const socket = fake.sockets[0];
  socket.open();

  const longQuote = '😀'.repeat(QUOTED_MAX_CHARS);
  socket.deliver([
    await decoded({ extendedTextMessage: { text: 'move this to 5pm', contextInfo: { quotedMessage: { conversation: 'Reminder: dentist' } } } }),
    await decoded({ audioMessage: { ptt: true, contextInfo: { quotedMessage: { conversation: longQuote } } } }),
    await decoded({ stickerMessage: {} }),
    await decoded({ reactionMessage: { text: '👍', key: { remoteJid: `${OWNER}@s.whatsapp.net`, fromMe: true, id: 'R1' } } }),
    await decoded({ contactMessage: { displayName: 'Anna', vcard: VCARD } }),
  ]);
  await until(() => talmo.calls.length === 4, 3000, 'four webhook calls');
  assert.deepEqual(talmo.calls.map((c) => c.path),
    ['/whatsapp/incoming/text', '/whatsapp/incoming/audio', '/whatsapp/incoming/other', '/whatsapp/incoming/text']);
  assert.deepEqual(talmo.texts(), [
    { sender: OWNER, message: 'move this to 5pm', quoted: 'Reminder: dentist' },
    { sender: OWNER, message: '👤 Contact: Anna, +49 151 11111111, 030 1234-5678' },
  ]);
  const header = talmo.calls[1].headers['x-quoted'];
  assert.ok(header.length <= HEADER_VALUE_MAX_BYTES && longQuote.startsWith(decodeURIComponent(header)));
  assert.deepEqual(JSON.parse(talmo.calls[2].body), { sender: OWNER, kind: 'sticker' });
  assert.ok(fake.lines('info').includes(`Ignored a reaction from ${OWNER}: not a message to answer`), fake.lines('info').join('\n'));
});

test('photos and documents are downloaded, kept across a restart, and posted with their headers; failed and oversized ones go to /other', async () => {
  const downloaded = [];
  const outcomes = new Map();   // message id → bytes, an error, or 'hang'
  const downloadMedia = async (message) => {
    downloaded.push(message.key.id);
    const outcome = outcomes.get(message.key.id);
    if (outcome === 'hang') return new Promise(() => {});
    if (outcome instanceof Error) throw outcome;
    return outcome;
  };
  const quote = { contextInfo: { stanzaId: 'Q1', participant: ME, quotedMessage: { conversation: 'Your train: 7:42' } } };
  const longCaption = `when do I leave? ✓ ${'x'.repeat(QUOTED_MAX_CHARS)}`;
  const pdf = { mimetype: 'application/pdf', fileName: 'Rechnung März.pdf' };
  const bytes = (name) => Buffer.concat([Buffer.from([0xff, 0xd8, 0x00, 0x80]), Buffer.from(name)]);
  // A body as compared: its bytes in hex, or only its length when large.
  const shown = (body) => (body.length > 64 ? `${body.length} bytes` : body.toString('hex'));
  const image = '/whatsapp/incoming/image';
  const document = '/whatsapp/incoming/document';
  const other = (kind) => ({ path: '/whatsapp/incoming/other', sender: OWNER, kind });
  const cases = [
    // [name, message, download outcome, what Talmo receives]
    ['photo', { imageMessage: { mimetype: 'image/jpeg' } }, bytes('photo'),
      { path: image, type: 'image/jpeg', body: shown(bytes('photo')) }],
    ['photo with a caption, replying', { imageMessage: { mimetype: 'image/png', caption: longCaption, ...quote } }, bytes('caption'),
      { path: image, type: 'image/png', caption: firstChars(longCaption, QUOTED_MAX_CHARS), quoted: 'Your train: 7:42', body: shown(bytes('caption')) }],
    ['ephemeral photo', { ephemeralMessage: { message: { imageMessage: { mimetype: 'image/webp', caption: 'Plakat ✓' } } } }, bytes('ephemeral'),
      { path: image, type: 'image/webp', caption: 'Plakat ✓', body: shown(bytes('ephemeral')) }],
    ['view-once photo without a type', { viewOnceMessageV2: { message: { imageMessage: { viewOnce: true } } } }, bytes('view once'),
      { path: image, type: 'application/octet-stream', body: shown(bytes('view once')) }],
    ['document with a caption', { documentWithCaptionMessage: { message: { documentMessage: { ...pdf, caption: 'when is this due?', fileLength: 9, ...quote } } } },
      bytes('invoice'),
      { path: document, type: 'application/pdf', fileName: 'Rechnung März.pdf', caption: 'when is this due?', quoted: 'Your train: 7:42', body: shown(bytes('invoice')) }],
    ['document', { documentMessage: { mimetype: 'text/plain', fileName: 'notes.txt' } }, bytes('notes'),
      { path: document, type: 'text/plain', fileName: 'notes.txt', body: shown(bytes('notes')) }],
    ['document without a name, its type unfit for a header', { documentMessage: { mimetype: 'text/plain\r\nX-Sender: 1' } }, bytes('nameless'),
      { path: document, type: 'application/octet-stream', body: shown(bytes('nameless')) }],
    ['document over 20 MiB, as declared', { documentMessage: { ...pdf, fileLength: DOCUMENT_MAX_BYTES + 1 } }, 'never downloaded',
      other('document_too_large')],
    ['document over 20 MiB, as downloaded', { documentMessage: { ...pdf, fileLength: 100 } }, Buffer.alloc(DOCUMENT_MAX_BYTES + 1),
      other('document_too_large')],
    ['photo whose download fails', { imageMessage: { mimetype: 'image/jpeg' } }, new Error('media gone (410)'), other('image')],
    ['photo whose download is empty', { imageMessage: { mimetype: 'image/jpeg' } }, Buffer.alloc(0), other('image')],
    ['document whose download hangs', { documentMessage: pdf }, 'hang', other('document')],
  ];
  const messages = [];
  for (const [, message, outcome] of cases) {
    const decodedMessage = await decoded(message);
    outcomes.set(decodedMessage.key.id, outcome);
    messages.push(decodedMessage);
  }

  // Talmo is down while they arrive, and the bridge restarts before it is back.
  const talmo = await fakeTalmo(() => [0]);
  closers.push(talmo.close);
  const home = tempHome();
  homes.push(home);
  const start = async () => {
    const fake = fakeDeps({ socketFor: () => new FakeSocket({ number: '4930111222333' }), downloadMedia, downloadTimeoutMs: 50 });
    const bridge = new Bridge(testConfig(home, { talmoUrl: talmo.url, owner: OWNER }), fake.deps);
    closers.push(() => bridge.stop());
    await bridge.start();
    fake.sockets[0].open();
    return { bridge, socket: fake.sockets[0], fake };
  };
  const first = await start();
  first.socket.deliver(messages);
  await until(() => first.bridge.queue.size === cases.length, 5000, 'every message queued');
  await first.bridge.stop();
  assert.equal(downloaded.includes(messages[cases.findIndex(([name]) => name.includes('as declared'))].key.id), false,
    'a document declared too large is not downloaded');
  assert.deepEqual(first.fake.lines('error').filter((l) => l.startsWith('Could not download')), [
    `Could not download the photo from ${OWNER}: media gone (410)`,
    `Could not download the photo from ${OWNER}: the download was empty`,
    `Could not download the document from ${OWNER}: the download took too long`,
  ]);

  talmo.answer = () => [200, { status: 'received' }];
  const second = await start();
  await until(() => second.bridge.queue.size === 0, 5000, 'the queue to drain');
  const received = talmo.calls.map((call) => {
    if (call.path.endsWith('/other')) return { path: call.path, ...JSON.parse(call.body) };
    assert.equal(call.headers['x-sender'], OWNER);
    const header = (name) => (call.headers[name] === undefined ? {} : { [name]: decodeURIComponent(call.headers[name]) });
    const { 'x-caption': caption, 'x-quoted': quoted, 'x-file-name': fileName } = { ...header('x-caption'), ...header('x-quoted'), ...header('x-file-name') };
    return { path: call.path, type: call.headers['content-type'], ...{ fileName, caption, quoted }, body: shown(call.body) };
  }).map((r) => Object.fromEntries(Object.entries(r).filter(([, v]) => v !== undefined)));
  assert.equal(received.length, cases.length);
  cases.forEach(([name, , , expected], i) => assert.deepEqual(received[i], expected, name));
  assert.deepEqual(fs.readdirSync(path.join(home, 'whatsapp', 'outbox')), [], 'the queued files are removed once taken');
});

test("with the library's own media download, a wrapped photo and a captioned document arrive intact; a vanished one is reported", async () => {
  // Media encrypted as a sending phone encrypts it (Utils/messages-media.js,
  // encryptedStream), served from loopback at the message's `url`.
  const photo = crypto.randomBytes(3000);
  const pdf = Buffer.from('%PDF-1.4\n% an invoice, due 2026-12-24\n');
  const served = new Map();
  const encrypt = async (bytes, type, at) => {
    const { mediaKey, encFilePath, fileLength } = await encryptedStream(bytes, type);
    served.set(at, fs.readFileSync(encFilePath));
    fs.rmSync(encFilePath);
    return { mediaKey, fileLength };
  };
  const media = http.createServer((req, res) => {
    const body = served.get(req.url);
    res.writeHead(body ? 200 : 403);
    res.end(body);
  });
  await new Promise((r) => media.listen(0, '127.0.0.1', r));
  closers.push(() => new Promise((r) => { media.close(r); media.closeAllConnections(); }));
  const url = (at) => `http://127.0.0.1:${media.address().port}${at}`;

  const messages = [
    await decoded({ ephemeralMessage: { message: { imageMessage: {
      url: url('/photo'), mimetype: 'image/jpeg', caption: 'how much was it?', ...(await encrypt(photo, 'image', '/photo')) } } } }),
    await decoded({ documentWithCaptionMessage: { message: { documentMessage: {
      url: url('/pdf'), mimetype: 'application/pdf', fileName: 'invoice.pdf', caption: 'when is this due?', ...(await encrypt(pdf, 'document', '/pdf')) } } } }),
    await decoded({ imageMessage: { url: url('/expired'), mimetype: 'image/jpeg', mediaKey: crypto.randomBytes(32) } }),
  ];

  const talmo = await fakeTalmo();
  closers.push(talmo.close);
  const home = tempHome();
  homes.push(home);
  const fake = fakeDeps({
    socketFor: () => new FakeSocket({ number: '4930111222333' }),
    // As the bridge's main module calls it.
    downloadMedia: (message, socket) => downloadMediaMessage(message, 'buffer', {}, { reuploadRequest: socket.updateMediaMessage, logger: silent }),
  });
  const bridge = new Bridge(testConfig(home, { talmoUrl: talmo.url, owner: OWNER }), fake.deps);
  closers.push(() => bridge.stop());
  await bridge.start();
  fake.sockets[0].open();
  fake.sockets[0].deliver(messages);
  await until(() => talmo.calls.length === 3, 5000, 'three webhook calls');
  const [image, document, expired] = talmo.calls;
  assert.deepEqual([image.path, image.headers['x-caption'], Buffer.compare(image.body, photo)],
    ['/whatsapp/incoming/image', encodeURIComponent('how much was it?'), 0]);
  assert.deepEqual([document.path, document.headers['x-file-name'], document.headers['x-caption'], document.body.toString()],
    ['/whatsapp/incoming/document', 'invoice.pdf', encodeURIComponent('when is this due?'), pdf.toString()]);
  assert.deepEqual([expired.path, JSON.parse(expired.body)], ['/whatsapp/incoming/other', { sender: OWNER, kind: 'image' }]);
  assert.deepEqual(fake.lines('error'), [`Could not download the photo from ${OWNER}: Failed to fetch stream from ${url('/expired')}`]);
});
