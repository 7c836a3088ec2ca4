// The WhatsApp session on disk: the library's credentials and keys, one JSON
// file each, in the same layout as the library's own multi-file store (a
// session written by either reads in the other). Unlike that store, every
// file is written whole or not at all (a temporary file, fsync, rename), so a
// crash or a full disk mid-write cannot leave a cut-short file; and a file
// that cannot be parsed is moved aside and reported, never silently replaced.
import fs from 'node:fs';
import path from 'node:path';
import { BufferJSON, initAuthCreds, proto } from 'baileys';

const fileName = (name) => name.replace(/\//g, '__').replace(/:/g, '-');

// A timestamp usable in a file name: 20260501-093000.
function stamp(date = new Date()) {
  return date.toISOString().replace(/[-:]/g, '').replace('T', '-').slice(0, 15);
}

// Moves `file` (or folder) to "<file>.<why>-<stamp>" and returns that path.
export function moveAside(file, why) {
  let target = `${file}.${why}-${stamp()}`;
  for (let n = 2; fs.existsSync(target); n++) target = `${file}.${why}-${stamp()}-${n}`;
  fs.renameSync(file, target);
  return target;
}

// Writes `text` to `file` atomically: readers see the old file or the new one.
export async function writeFileAtomic(file, text) {
  const temp = `${file}.tmp-${process.pid}`;
  const handle = await fs.promises.open(temp, 'w', 0o600);
  try {
    await handle.writeFile(text);
    await handle.sync();
  } finally {
    await handle.close();
  }
  await fs.promises.rename(temp, file);
}

// Credentials from a pairing that began but never finished: the number is
// written (a pairing code was asked for) but WhatsApp never confirmed the
// account. Such credentials make the next connection log in instead of pair.
export function halfPaired(creds) {
  return Boolean(creds?.me?.id) && !creds?.account;
}

// The session in `folder`: {state, saveCreds}, as the library's
// useMultiFileAuthState gives them. `logger` hears of files moved aside.
export async function useSessionFiles(folder, logger) {
  fs.mkdirSync(folder, { recursive: true, mode: 0o700 });
  // Temporary files left by a crash mid-write never held a finished file.
  for (const name of fs.readdirSync(folder)) {
    if (/\.tmp-\d+$/.test(name)) fs.rmSync(path.join(folder, name), { force: true });
  }
  // One write or removal at a time per file, in the order asked.
  const queues = new Map();
  const serial = (file, work) => {
    const next = (queues.get(file) ?? Promise.resolve()).then(work, work);
    queues.set(file, next.catch(() => {}));
    return next;
  };

  const write = (name, value) => {
    const file = path.join(folder, fileName(name));
    return serial(file, () => writeFileAtomic(file, JSON.stringify(value, BufferJSON.replacer)));
  };
  const remove = (name) => {
    const file = path.join(folder, fileName(name));
    return serial(file, () => fs.promises.rm(file, { force: true }));
  };
  const read = (name) => {
    const file = path.join(folder, fileName(name));
    return serial(file, async () => {
      let text;
      try {
        text = await fs.promises.readFile(file, 'utf8');
      } catch (err) {
        if (err.code === 'ENOENT') return null;
        throw err;
      }
      try {
        return JSON.parse(text, BufferJSON.reviver);
      } catch (err) {
        const aside = moveAside(file, 'unreadable');
        logger.error(`The WhatsApp session file ${file} could not be read (${err.message}), so it was moved to ${aside}` +
          (name === 'creds.json' ? ': the bridge starts unpaired, pair it again' : ''));
        return null;
      }
    });
  };

  const creds = (await read('creds.json')) ?? initAuthCreds();
  return {
    state: {
      creds,
      keys: {
        get: async (type, ids) => {
          const data = {};
          await Promise.all(ids.map(async (id) => {
            let value = await read(`${type}-${id}.json`);
            if (type === 'app-state-sync-key' && value) value = proto.Message.AppStateSyncKeyData.fromObject(value);
            data[id] = value;
          }));
          return data;
        },
        set: async (data) => {
          const tasks = [];
          for (const category in data) {
            for (const id in data[category]) {
              const value = data[category][id];
              tasks.push(value ? write(`${category}-${id}.json`, value) : remove(`${category}-${id}.json`));
            }
          }
          await Promise.all(tasks);
        },
      },
    },
    saveCreds: () => write('creds.json', creds),
  };
}
