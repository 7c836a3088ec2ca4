// What an incoming WhatsApp message holds, as far as Talmo cares: a text, a
// voice note, or something that is not forwarded.

const WRAPPERS = [
  'ephemeralMessage', 'viewOnceMessage', 'viewOnceMessageV2', 'viewOnceMessageV2Extension',
  'documentWithCaptionMessage', 'deviceSentMessage',
];

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

// {kind: 'text', text} | {kind: 'voice'} | {kind: 'ignored', what}.
export function classify(message) {
  const m = unwrap(message);
  if (!m) return { kind: 'ignored', what: 'an empty message' };
  if (m.protocolMessage || m.editedMessage) return { kind: 'ignored', what: 'an edit or deletion' };
  if (m.reactionMessage) return { kind: 'ignored', what: 'a reaction' };
  if (typeof m.conversation === 'string' && m.conversation !== '') return { kind: 'text', text: m.conversation };
  const extended = m.extendedTextMessage?.text;
  if (typeof extended === 'string' && extended !== '') return { kind: 'text', text: extended };
  if (m.audioMessage) {
    return m.audioMessage.ptt ? { kind: 'voice', message: m } : { kind: 'ignored', what: 'an audio file that is not a voice note' };
  }
  const type = Object.keys(m).find((k) => k !== 'messageContextInfo' && m[k]);
  return { kind: 'ignored', what: type ? `a message of type ${type}` : 'an empty message' };
}
