// WhatsApp addresses (JIDs): "<user>[:device]@<server>". A person is
// "<digits>@s.whatsapp.net" or, more and more, an opaque "<id>@lid" that is
// not a phone number.

export const PERSONAL = 's.whatsapp.net';

// The address without its device part ("1555:12@s.whatsapp.net" → "1555@s.whatsapp.net").
export function normalizeJid(jid) {
  if (typeof jid !== 'string') return '';
  const at = jid.indexOf('@');
  if (at < 0) return '';
  let server = jid.slice(at + 1);
  if (server === 'c.us') server = PERSONAL;
  const user = jid.slice(0, at).split(':')[0].split('_')[0];
  return `${user}@${server}`;
}

export function serverOf(jid) {
  const at = typeof jid === 'string' ? jid.indexOf('@') : -1;
  return at < 0 ? '' : jid.slice(at + 1);
}

export const isPhoneJid = (jid) => serverOf(jid) === PERSONAL || serverOf(jid) === 'c.us';
export const isLid = (jid) => serverOf(jid) === 'lid';

// The phone number's digits of a personal address; null for anything else.
export function phoneDigits(jid) {
  if (!isPhoneJid(jid)) return null;
  const user = normalizeJid(jid).split('@')[0];
  return /^\d{5,20}$/.test(user) ? user : null;
}

// What kind of chat `jid` names, for the log: a person, or what is not forwarded.
export function chatKind(jid) {
  const server = serverOf(jid);
  if (server === PERSONAL || server === 'c.us' || server === 'lid') return 'person';
  if (server === 'g.us') return 'group';
  if (jid === 'status@broadcast') return 'status update';
  if (server === 'broadcast') return 'broadcast';
  if (server === 'newsletter') return 'newsletter';
  return `chat on ${server || 'an unknown server'}`;
}
