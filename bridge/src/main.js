#!/usr/bin/env node
// talmo-bridge [--pair-code <number>]: links Talmo to WhatsApp.
import fs from 'node:fs';
import { fileURLToPath } from 'node:url';
import { createApi, listen } from './api.js';
import { Bridge } from './bridge.js';
import { ConfigError, loadConfig, ownerDigits } from './config.js';
import { createLogger, stderrIsJournal } from './log.js';
import { showQr } from './qr.js';
import { useSessionFiles } from './session.js';

const USAGE = 'usage: talmo-bridge [--pair-code <phone number with country code>]';

function parseArgs(argv) {
  const args = { pairCode: null };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--pair-code' && i + 1 < argv.length) {
      args.pairCode = ownerDigits(argv[++i]);
      if (!args.pairCode) throw new ConfigError(`--pair-code needs a phone number with its country code, e.g. +49 151 23456789`);
    } else if (argv[i].startsWith('--pair-code=')) {
      args.pairCode = ownerDigits(argv[i].slice('--pair-code='.length));
      if (!args.pairCode) throw new ConfigError(`--pair-code needs a phone number with its country code, e.g. +49 151 23456789`);
    } else if (argv[i] === '--help' || argv[i] === '-h') {
      process.stdout.write(`${USAGE}\n`);
      process.exit(0);
    } else {
      throw new ConfigError(`unknown argument ${JSON.stringify(argv[i])}; ${USAGE}`);
    }
  }
  return args;
}

// The current WhatsApp Web version, asked for once at start and bounded in
// time; the library's built-in version when the answer does not come.
// `fetchVersion` stands in for the library's fetchLatestWaWebVersion, which
// never throws: it answers the built-in version with `error` set.
export async function webVersion(logger, { fetchVersion, timeoutMs = 5000 } = {}) {
  const fetchLatest = fetchVersion ?? (await import('baileys')).fetchLatestWaWebVersion;
  const { version, error } = await fetchLatest({ signal: AbortSignal.timeout(timeoutMs) });
  if (error) {
    const why = error.name === 'TimeoutError' ? `no answer within ${timeoutMs / 1000} s`
      : [error.message, [error.cause?.code, error.cause?.hostname].filter(Boolean).join(' ')].filter(Boolean).join(': ');
    logger.warning(`Could not ask WhatsApp for the current WhatsApp Web version (${why}); using the version built into the library, ${version.join('.')}`);
  } else {
    logger.debug(`WhatsApp Web version ${version.join('.')}`);
  }
  return version;
}

// The real WhatsApp connection, through the Baileys library. `logger` is the
// bridge's own (for the session files); `socketOptions` go to the library's
// socket as they are (tests point waWebSocketUrl at loopback).
export async function whatsapp({ logger, version, socketOptions = {} } = {}) {
  const baileys = await import('baileys');
  const makeWASocket = baileys.default;
  const { Browsers, downloadMediaMessage } = baileys;
  return {
    async makeSocket({ sessionDir, logger: libraryLogger }) {
      const { state, saveCreds } = await useSessionFiles(sessionDir, logger);
      const socket = makeWASocket({
        auth: state,
        logger: libraryLogger,
        browser: Browsers.ubuntu('Chrome'),
        markOnlineOnConnect: false,
        syncFullHistory: false,
        ...(version ? { version } : {}),
        ...socketOptions,
      });
      return { socket, saveCreds };
    },
    downloadMedia(message, socket) {
      return downloadMediaMessage(message, 'buffer', {}, { reuploadRequest: socket.updateMediaMessage, logger: socket.logger });
    },
  };
}

// The whole bridge process. `socketOptions` and `fetchVersion` as for
// whatsapp() and webVersion().
export async function main({ argv = process.argv.slice(2), env = process.env, socketOptions, fetchVersion } = {}) {
  let config;
  let args;
  let logger;
  try {
    args = parseArgs(argv);
    config = loadConfig(env);
    const output = { ...config.logOutput, journal: stderrIsJournal(env.JOURNAL_STREAM) };
    try {
      logger = createLogger({ level: config.logLevel, output });
    } catch (err) {
      throw new ConfigError(`cannot write the log file ${config.logOutput.file}: ${err.message}`);
    }
  } catch (err) {
    if (!(err instanceof ConfigError)) throw err;
    process.stderr.write(`talmo-bridge: ${err.message}\n`);
    process.exit(2);
  }
  // The version is asked for while the API already answers (GET /status says "connecting" meanwhile).
  const library = webVersion(logger, { fetchVersion }).then((version) => whatsapp({ logger, version, socketOptions }));
  const bridge = new Bridge(config, {
    logger,
    makeSocket: async (options) => (await library).makeSocket(options),
    downloadMedia: async (message, socket) => (await library).downloadMedia(message, socket),
    showQr,
    pairCode: args.pairCode,
  });
  const server = createApi(bridge, { config, logger });
  try {
    await listen(server, config.listenHost, config.listenPort);
  } catch (err) {
    process.stderr.write(`talmo-bridge: cannot listen on ${config.listenHost}:${config.listenPort}: ${err.message}\n`);
    process.exit(1);
  }
  logger.info(`Bridge listening on http://${config.listenHost.includes(':') ? `[${config.listenHost}]` : config.listenHost}:${config.listenPort}; messages go to Talmo at ${config.talmoUrl}`);

  let stopping = false;
  const stop = async (signal) => {
    if (stopping) return;
    stopping = true;
    logger.info(`Received ${signal}: stopping`);
    server.close();
    server.closeAllConnections?.();
    await bridge.stop();
    logger.info('Bridge stopped');
    logger.close();
    process.exit(0);
  };
  process.on('exit', () => logger.close());
  process.on('SIGINT', () => stop('SIGINT'));
  process.on('SIGTERM', () => stop('SIGTERM'));
  await bridge.start();
}

// Run as a program (also through the bin link), not when imported.
const entry = process.argv[1] && fs.realpathSync(process.argv[1]);
if (entry === fileURLToPath(import.meta.url)) {
  main().catch((err) => {
    process.stderr.write(`talmo-bridge: ${err.stack ?? err}\n`);
    process.exit(1);
  });
}
