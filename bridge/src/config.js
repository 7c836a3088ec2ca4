// The bridge's settings, read from Talmo's own configuration so both sides
// agree: the TOML file ($TALMO_CONFIG, else $TALMO_HOME/config.toml, with
// TALMO_HOME defaulting to ~/.talmo), each setting overridden by an
// environment variable of the same name (one set to the empty text counts as
// unset).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parse as parseToml } from 'smol-toml';
import { parseLevel } from './log.js';

export class ConfigError extends Error {}

export const MIN_BRIDGE_TOKEN = 16;

function expandHome(text, env) {
  if (text === '~' || text.startsWith('~/')) {
    const home = env.HOME || os.homedir();
    return text.length <= 2 ? home : path.join(home, text.slice(2));
  }
  return text;
}

function envValue(env, name) {
  const value = env[name];
  return value === undefined || value === '' ? undefined : value;
}

export function talmoHome(env) {
  const home = envValue(env, 'TALMO_HOME');
  return home ? expandHome(home, env) : path.join(env.HOME || os.homedir(), '.talmo');
}

export function configPath(env) {
  const file = envValue(env, 'TALMO_CONFIG');
  return file ? expandHome(file, env) : path.join(talmoHome(env), 'config.toml');
}

function readTable(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    if (err.code === 'ENOENT') return {};
    throw new ConfigError(`${file}: cannot read the configuration file: ${err.message}`);
  }
  try {
    return parseToml(text);
  } catch (err) {
    const line = err.line ? `:${err.line}` : '';
    throw new ConfigError(`${file}${line}: ${String(err.message).split('\n')[0]}`);
  }
}

// The owner's full international digits: every digit of the number, a
// leading international "00" dropped ("+49 151 …" and "0049151…" agree).
export function ownerDigits(masterNumber) {
  let digits = String(masterNumber ?? '').replace(/[^0-9]/g, '');
  if (digits.startsWith('00')) digits = digits.slice(2);
  return digits;
}

// Talmo listening on a wildcard address is reached over loopback.
export function talmoBaseUrl(host, port) {
  let h = String(host).trim();
  if (h.startsWith('[') && h.endsWith(']')) h = h.slice(1, -1);
  if (h === '' || h === '0.0.0.0' || h === '*') h = '127.0.0.1';
  if (h === '::') h = '::1';
  return `http://${h.includes(':') ? `[${h}]` : h}:${port}`;
}

function listenAddress(bridgeUrl) {
  let url;
  try {
    url = new URL(bridgeUrl);
  } catch {
    throw new ConfigError(`BRIDGE_URL must be an http:// URL, got ${JSON.stringify(bridgeUrl)}`);
  }
  if (url.protocol !== 'http:') throw new ConfigError(`BRIDGE_URL must be an http:// URL, got ${JSON.stringify(bridgeUrl)}`);
  const host = url.hostname.replace(/^\[(.*)\]$/, '$1');
  return { host, port: url.port ? Number(url.port) : 80 };
}

// Loopback names and addresses: localhost, 127.0.0.0/8, ::1.
export function isLoopback(host) {
  const name = String(host).toLowerCase();
  return name === 'localhost' || name === '::1' || /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(name);
}

// A size in bytes from "10485760", "512KB", "10MB", "1GB" (1 KB to 1024 GB), or null.
export function parseSize(text) {
  const match = /^(\d{1,13})\s*(b|k|kb|kib|m|mb|mib|g|gb|gib)?$/i.exec(String(text).trim());
  if (!match) return null;
  const unit = (match[2] ?? 'b').toLowerCase()[0];
  const bytes = Number(match[1]) * { b: 1, k: 2 ** 10, m: 2 ** 20, g: 2 ** 30 }[unit];
  return bytes >= 2 ** 10 && bytes <= 2 ** 40 ? bytes : null;
}

// Loads every setting the bridge uses. Throws ConfigError with one line.
export function loadConfig(env = process.env) {
  const file = configPath(env);
  const table = readTable(file);
  const setting = (name, kind = 'string') => {
    const fromEnv = envValue(env, name);
    if (fromEnv !== undefined) return fromEnv;
    const value = table[name];
    if (value === undefined) return undefined;
    if ((kind === 'port' || kind === 'number') && (typeof value === 'number' || typeof value === 'bigint')) return String(value);
    if (typeof value !== 'string') throw new ConfigError(`${file}: ${name} must be a string`);
    return value;
  };

  const port = setting('TALMO_PORT', 'port') ?? '8000';
  if (!/^\d{1,5}$/.test(port.trim()) || Number(port) < 1 || Number(port) > 65535)
    throw new ConfigError(`TALMO_PORT must be an integer from 1 to 65535, got ${JSON.stringify(port)}`);
  const levelText = setting('TALMO_LOG_LEVEL');
  const logLevel = levelText === undefined ? 'info' : parseLevel(levelText);
  if (!logLevel)
    throw new ConfigError(`TALMO_LOG_LEVEL must be one of debug, info, success, warning, error, got ${JSON.stringify(levelText)}`);

  const formatText = (setting('TALMO_LOG_FORMAT') ?? 'text').trim().toLowerCase();
  if (formatText !== 'text' && formatText !== 'json')
    throw new ConfigError(`TALMO_LOG_FORMAT must be "text" or "json", got ${JSON.stringify(setting('TALMO_LOG_FORMAT'))}`);
  const sizeText = setting('TALMO_LOG_FILE_SIZE', 'number');
  const logFileSize = sizeText === undefined ? 10 * 2 ** 20 : parseSize(sizeText);
  if (logFileSize === null)
    throw new ConfigError(`TALMO_LOG_FILE_SIZE must be a number of bytes or a size such as "10MB" or "512KB", from 1KB to 1024GB, got ${JSON.stringify(sizeText)}`);
  const countText = (setting('TALMO_LOG_FILE_COUNT', 'number') ?? '5').trim();
  if (!/^\d{1,4}$/.test(countText) || Number(countText) < 1 || Number(countText) > 1000)
    throw new ConfigError(`TALMO_LOG_FILE_COUNT must be an integer from 1 to 1000, got ${JSON.stringify(countText)}`);
  const logFileText = setting('BRIDGE_LOG_FILE');
  const logFile = logFileText ? path.resolve(expandHome(logFileText, env)) : null;
  const talmoLogText = setting('TALMO_LOG_FILE');
  if (logFile && talmoLogText && path.resolve(expandHome(talmoLogText, env)) === logFile)
    throw new ConfigError(`BRIDGE_LOG_FILE names Talmo's own log file ${logFile}; two processes must not write one file, so give the bridge a file of its own`);
  // A short token is guessed easily; Talmo refuses it too.
  const token = (setting('BRIDGE_TOKEN') ?? '').trim();
  if (token !== '' && token.length < MIN_BRIDGE_TOKEN)
    throw new ConfigError(`BRIDGE_TOKEN is shorter than ${MIN_BRIDGE_TOKEN} characters: set a longer one (talmo onboard replaces it with a random one)`);

  const home = talmoHome(env);
  const listen = listenAddress(setting('BRIDGE_URL') ?? 'http://127.0.0.1:45051');
  if (!isLoopback(listen.host) && !token)
    throw new ConfigError(`BRIDGE_URL ${JSON.stringify(setting('BRIDGE_URL'))} is not a loopback address and BRIDGE_TOKEN is not set: ` +
      'anyone who reaches the port could send WhatsApp messages as this account; set BRIDGE_TOKEN (talmo onboard writes one) or listen on 127.0.0.1');
  return {
    configFile: file,
    home,
    dataDir: path.join(home, 'whatsapp'),
    listenHost: listen.host,
    listenPort: listen.port,
    talmoUrl: talmoBaseUrl(setting('TALMO_HOST') ?? '127.0.0.1', Number(port)),
    masterNumber: setting('MASTER_NUMBER') ?? '',
    ownerDigits: ownerDigits(setting('MASTER_NUMBER')),
    token,
    logLevel,
    logOutput: { json: formatText === 'json', file: logFile, fileSize: logFileSize, fileCount: Number(countText) },
  };
}
