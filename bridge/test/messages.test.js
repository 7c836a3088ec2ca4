// Every kind of message the owner can send, built as WhatsApp sends it and
// decoded by the library's own decoder (decryptMessageNode on a plaintext
// stanza, then cleanMessage: what the socket does before it publishes a
// message, Socket/messages-recv.js), then classified and forwarded.
// Message members as declared in WAProto/WAProto.proto, `message Message`.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, afterEach, test } from 'node:test';
import { cleanMessage, decryptMessageNode, proto } from 'baileys';
import { Bridge } from '../src/bridge.js';
import { headerValue, HEADER_VALUE_MAX_BYTES } from '../src/forwarder.js';
import { classify, QUOTED_MAX_CHARS } from '../src/messages.js';
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

test('each kind of message is forwarded as text, as a voice note, as a kind Talmo cannot read, or ignored', async () => {
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
    ['photo', { imageMessage: { caption: 'what is this?', mimetype: 'image/jpeg' } }, { kind: 'other', type: 'image' }],
    ['document with caption', { documentWithCaptionMessage: { message: { documentMessage: { fileName: 'a.pdf', caption: 'read' } } } },
      { kind: 'other', type: 'document' }],
    ['view-once photo with its content', { viewOnceMessageV2: { message: { imageMessage: { viewOnce: true } } } }, { kind: 'other', type: 'image' }],
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
