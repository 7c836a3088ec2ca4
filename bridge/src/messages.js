// What an incoming WhatsApp message holds, as far as Talmo cares: a text (a
// location or a contact becomes one), a voice note, a photo, a document, a
// kind Talmo cannot read yet (it still answers the owner), or something that
// is not a message to answer at all.

const WRAPPERS = [
  'ephemeralMessage', 'viewOnceMessage', 'viewOnceMessageV2', 'viewOnceMessageV2Extension',
  'documentWithCaptionMessage', 'deviceSentMessage', 'associatedChildMessage',
];

// The longest quoted text, caption or file name passed on, in characters.
export const QUOTED_MAX_CHARS = 1000;

// The largest document passed on to Talmo (20 MiB); a larger one gets an
// answer saying so instead.
export const DOCUMENT_MAX_BYTES = 20 * 1024 * 1024;

// The message inside ephemeral and view-once wrappers (a few levels at most).
export function unwrap(message) {
  let m = message;
  for (let depth = 0; m && depth < 5; depth++) {
    const wrapper = WRAPPERS.find((w) => m[w]?.message);
    if (!wrapper) break;
    m = m[wrapper].message;
  }
  return m ?? null;
}

// Not messages to answer: the owner reacting, editing, deleting, voting or
// pinning, and what the library or WhatsApp exchange on their own.
const NOT_TO_ANSWER = [
  ['protocolMessage', 'an edit or deletion'],
  ['editedMessage', 'an edit or deletion'],
  ['reactionMessage', 'a reaction'],
  ['encReactionMessage', 'a reaction'],
  ['pollUpdateMessage', 'a poll vote'],
  ['encEventResponseMessage', 'an answer to an event invitation'],
  ['keepInChatMessage', 'a message kept in the chat'],
  ['pinInChatMessage', 'a pinned message'],
  // The album's photos come as messages of their own.
  ['albumMessage', 'the announcement of an album'],
];

// The kinds classify() gives that are downloaded before they go to Talmo:
// what each is called in log lines, and the kind Talmo is told of when its
// download fails.
export const DOWNLOADED = {
  voice: { word: 'voice note', failedKind: 'voice_note' },
  image: { word: 'photo', failedKind: 'image' },
  document: { word: 'document', failedKind: 'document' },
};

// Kinds Talmo cannot read yet, by the content's member name.
const OTHER_KINDS = {
  stickerMessage: 'sticker',
  lottieStickerMessage: 'sticker',
  stickerPackMessage: 'sticker',
  ptvMessage: 'video_note',
  pollCreationMessage: 'poll',
  pollCreationMessageV2: 'poll',
  pollCreationMessageV3: 'poll',
  pollCreationMessageV4: 'poll',
  pollCreationMessageV5: 'poll',
  eventMessage: 'event',
};

// What names a quoted message that has neither text nor caption.
const QUOTED_WORDS = [
  ['imageMessage', 'a photo'],
  ['audioMessage', 'a voice note'],
  ['documentMessage', 'a document'],
  ['videoMessage', 'a video'],
  ['ptvMessage', 'a video'],
  ['stickerMessage', 'a sticker'],
  ['lottieStickerMessage', 'a sticker'],
  ['locationMessage', 'a location'],
  ['liveLocationMessage', 'a location'],
  ['contactMessage', 'a contact'],
  ['contactsArrayMessage', 'a contact'],
];

function nonEmpty(value) {
  return typeof value === 'string' && value.trim() !== '' ? value.trim() : null;
}

// The first `n` characters (code points) of `text`.
export function firstChars(text, n) {
  let out = '';
  let count = 0;
  for (const ch of text) {
    if (count++ === n) break;
    out += ch;
  }
  return out;
}

function textOf(m) {
  return nonEmpty(m.conversation) ?? nonEmpty(m.extendedTextMessage?.text);
}

function coordinates(place) {
  const lat = place.degreesLatitude;
  const lon = place.degreesLongitude;
  if (!Number.isFinite(lat) || !Number.isFinite(lon)) return null;
  return `(${lat.toFixed(4)}, ${lon.toFixed(4)})`;
}

// "📍 Location: <name>, <address> (<lat>, <lon>)", the parts that are there;
// a comment or caption on the next line.
export function locationText(place, live = false) {
  const parts = [[nonEmpty(place.name), nonEmpty(place.address)].filter(Boolean).join(', '), coordinates(place)];
  const line = `📍 ${live ? 'Live location' : 'Location'}: ${parts.filter(Boolean).join(' ')}`.trimEnd();
  const note = nonEmpty(live ? place.caption : place.comment);
  return note ? `${line}\n${note}` : line;
}

// The vCard's lines, folded lines joined again.
function vcardLines(vcard) {
  return vcard.replace(/\r\n|\r/g, '\n').replace(/\n[ \t]/g, '').split('\n');
}

// "👤 Contact: <display name>, <number>, ...", each number as the vCard's TEL
// lines write it.
export function contactText(contact) {
  const lines = typeof contact.vcard === 'string' ? vcardLines(contact.vcard) : [];
  const numbers = [];
  let fullName = null;
  for (const line of lines) {
    const tel = /^(?:[\w-]+\.)?TEL(?:;[^:]*)?:(.*)$/i.exec(line);
    if (tel && nonEmpty(tel[1])) numbers.push(tel[1].trim());
    const fn = /^(?:[\w-]+\.)?FN(?:;[^:]*)?:(.*)$/i.exec(line);
    if (fn && !fullName) fullName = nonEmpty(fn[1]);
  }
  const details = [nonEmpty(contact.displayName) ?? fullName, ...numbers].filter(Boolean);
  return `👤 Contact: ${details.length ? details.join(', ') : 'no name or number'}`;
}

function contactsText(array) {
  const contacts = Array.isArray(array.contacts) ? array.contacts.filter(Boolean) : [];
  if (!contacts.length) return contactText({ displayName: array.displayName });
  return contacts.map(contactText).join('\n');
}

// The text that stands for a quoted message: its text, else its caption,
// else a word for its kind; cut to QUOTED_MAX_CHARS. Null when nothing is quoted.
export function quotedText(quoted) {
  const m = unwrap(quoted);
  if (!m || typeof m !== 'object') return null;
  const caption = ['imageMessage', 'videoMessage', 'documentMessage', 'ptvMessage']
    .map((k) => nonEmpty(m[k]?.caption)).find(Boolean);
  const poll = ['pollCreationMessage', 'pollCreationMessageV2', 'pollCreationMessageV3', 'pollCreationMessageV5']
    .map((k) => nonEmpty(m[k]?.name)).find(Boolean);
  const word = QUOTED_WORDS.find(([k]) => m[k])?.[1];
  const text = textOf(m) ?? caption ?? poll ?? word ?? 'a message';
  return firstChars(text, QUOTED_MAX_CHARS);
}

// The content's own contextInfo.quotedMessage, as text (see quotedText).
function quoteOf(m) {
  for (const value of Object.values(m)) {
    const quoted = value && typeof value === 'object' ? value.contextInfo?.quotedMessage : null;
    if (quoted) return quotedText(quoted);
  }
  return null;
}

function withQuote(content, m) {
  const quoted = quoteOf(m);
  return quoted ? { ...content, quoted } : content;
}

// A media type fit for a Content-Type header ("image/jpeg", "text/plain;
// charset=utf-8"); anything else the sender's phone put there becomes the
// generic type, from which Talmo tells the kind by the file's first bytes.
export function mediaType(mimetype) {
  const value = typeof mimetype === 'string' ? mimetype.trim() : '';
  const fit = value.length <= 200 && /^[\w.+-]+\/[\w.+-]+(?: *; *[\w.+-]+=(?:[\w.+-]+|"[ !#-[\]-~]*"))*$/.test(value);
  return fit ? value : 'application/octet-stream';
}

// A protobuf uint64 (a number, or a Long from the library's decoder) as a
// number; null when absent or not a count.
function count(value) {
  const n = typeof value?.toNumber === 'function' ? value.toNumber() : Number(value ?? NaN);
  return Number.isFinite(n) && n >= 0 ? n : null;
}

// The media fields passed on with a photo or document: type, caption and
// quote, the caption cut to QUOTED_MAX_CHARS.
function media(kind, content, m) {
  const caption = nonEmpty(content.caption);
  return withQuote({
    kind, mimetype: mediaType(content.mimetype), ...(caption ? { caption: firstChars(caption, QUOTED_MAX_CHARS) } : {}),
  }, m);
}

function documentOf(doc, m) {
  const name = nonEmpty(doc.fileName) ?? nonEmpty(doc.title);
  const bytes = count(doc.fileLength);
  return {
    ...media('document', doc, m),
    ...(name ? { fileName: firstChars(name, QUOTED_MAX_CHARS) } : {}),
    ...(bytes !== null ? { declaredBytes: bytes } : {}),
  };
}

// What to do with a message as the library publishes it (WAMessage):
//   {kind: 'text', text, quoted?}   forwarded as a text
//   {kind: 'voice', quoted?}        a voice note, forwarded as audio
//   {kind: 'image', mimetype, caption?, quoted?}
//                                   a photo, downloaded and forwarded
//   {kind: 'document', mimetype, fileName?, declaredBytes?, caption?, quoted?}
//                                   a document, downloaded and forwarded
//                                   (declaredBytes: the size its sender stated)
//   {kind: 'other', type}           Talmo answers that it cannot read it yet
//   {kind: 'ignored', what}         not a message to answer
export function classify(webMessage) {
  const m = unwrap(webMessage?.message);
  const keys = m && typeof m === 'object'
    ? Object.keys(m).filter((k) => m[k] && k !== 'messageContextInfo' && k !== 'senderKeyDistributionMessage')
    : [];
  if (!keys.length) {
    // A view-once photo or video reaches a linked device without its content.
    if (webMessage?.key?.isViewOnce) return { kind: 'other', type: 'view_once' };
    return { kind: 'ignored', what: 'a message without content (a notice, or one that could not be decrypted)' };
  }
  const notToAnswer = NOT_TO_ANSWER.find(([k]) => m[k]);
  if (notToAnswer) return { kind: 'ignored', what: notToAnswer[1] };
  const text = textOf(m);
  if (text) return withQuote({ kind: 'text', text }, m);
  if (m.locationMessage) return withQuote({ kind: 'text', text: locationText(m.locationMessage) }, m);
  if (m.liveLocationMessage) return withQuote({ kind: 'text', text: locationText(m.liveLocationMessage, true) }, m);
  if (m.contactMessage) return withQuote({ kind: 'text', text: contactText(m.contactMessage) }, m);
  if (m.contactsArrayMessage) return withQuote({ kind: 'text', text: contactsText(m.contactsArrayMessage) }, m);
  if (m.audioMessage) return m.audioMessage.ptt ? withQuote({ kind: 'voice' }, m) : { kind: 'other', type: 'audio' };
  if (m.imageMessage) return media('image', m.imageMessage, m);
  if (m.documentMessage) return documentOf(m.documentMessage, m);
  if (m.videoMessage) return { kind: 'other', type: m.videoMessage.gifPlayback ? 'gif' : 'video' };
  const known = keys.find((k) => OTHER_KINDS[k]);
  if (known) return { kind: 'other', type: OTHER_KINDS[known] };
  // A view-once wrapper whose media the library left out.
  if (keys.some((k) => k.startsWith('viewOnce'))) return { kind: 'other', type: 'view_once' };
  return { kind: 'other', type: 'other' };
}
