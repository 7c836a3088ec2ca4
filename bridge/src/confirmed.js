// The ids of Talmo's texts that WhatsApp confirmed, kept on disk so that a
// text Talmo sends again (it died before marking it sent, or the bridge
// restarted) is answered as delivered and not sent twice.
//
// confirmed-ids holds one id a line, oldest first. A line is appended (and
// synced) per confirmation; the file is rewritten with the latest ids once it
// holds twice as many as are kept. A torn last line after a crash is not a
// valid id and is skipped.
import fs from 'node:fs';
import path from 'node:path';

// Talmo retries a text for a day; a few thousand ids reach back far further.
export const KEPT_IDS = 5000;

// What Talmo may send as `id`.
export const SEND_ID = /^[A-Za-z0-9_-]{1,64}$/;

export class ConfirmedIds {
  constructor({ dir, kept = KEPT_IDS }) {
    this.file = path.join(dir, 'confirmed-ids');
    this.kept = kept;
    this.ids = new Set();  // insertion order is age order
    this.lines = 0;
    let text = '';
    try {
      text = fs.readFileSync(this.file, 'utf8');
    } catch (err) {
      if (err.code !== 'ENOENT') throw err;
    }
    for (const line of text.split('\n')) {
      if (!SEND_ID.test(line)) continue;
      this.ids.delete(line);
      this.ids.add(line);
      this.lines++;
    }
    this.trim();
    if (this.lines > this.ids.size) this.rewrite();
  }

  has(id) {
    return this.ids.has(id);
  }

  // Records `id` as confirmed, on disk before it returns.
  add(id) {
    if (this.ids.has(id)) return;
    this.ids.add(id);
    this.trim();
    if (this.lines + 1 > 2 * this.kept) {
      this.rewrite();
      return;
    }
    const fd = fs.openSync(this.file, 'a', 0o600);
    try {
      fs.writeSync(fd, `${id}\n`);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    this.lines++;
  }

  trim() {
    while (this.ids.size > this.kept) this.ids.delete(this.ids.values().next().value);
  }

  rewrite() {
    const temp = `${this.file}.tmp`;
    const fd = fs.openSync(temp, 'w', 0o600);
    try {
      fs.writeSync(fd, [...this.ids].map((id) => `${id}\n`).join(''));
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(temp, this.file);
    this.lines = this.ids.size;
  }
}
