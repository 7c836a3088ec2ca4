#!/usr/bin/env node
// talmo-bridge [--pair-code <number>]: links Talmo to WhatsApp.
import { createApi, listen } from './api.js';
import { Bridge } from './bridge.js';
import { ConfigError, loadConfig, ownerDigits } from './config.js';
import { createLogger } from './log.js';
import { showQr } from './qr.js';

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

// The real WhatsApp connection, through the Baileys library.
async function whatsapp() {
  const baileys = await import('baileys');
  const makeWASocket = baileys.default;
  const { useMultiFileAuthState, Browsers, downloadMediaMessage } = baileys;
  return {
    async makeSocket({ sessionDir, logger }) {
      const { state, saveCreds } = await useMultiFileAuthState(sessionDir);
      const socket = makeWASocket({
        auth: state,
        logger,
        browser: Browsers.ubuntu('Chrome'),
        markOnlineOnConnect: false,
        syncFullHistory: false,
      });
      return { socket, saveCreds };
    },
    downloadMedia(message, socket) {
      return downloadMediaMessage(message, 'buffer', {}, { reuploadRequest: socket.updateMediaMessage, logger: socket.logger });
    },
  };
}

async function main() {
  let config;
  let args;
  try {
    args = parseArgs(process.argv.slice(2));
    config = loadConfig(process.env);
  } catch (err) {
    if (!(err instanceof ConfigError)) throw err;
    process.stderr.write(`talmo-bridge: ${err.message}\n`);
    process.exit(2);
  }
  const logger = createLogger({ level: config.logLevel });
  const { makeSocket, downloadMedia } = await whatsapp();
  const bridge = new Bridge(config, { logger, makeSocket, downloadMedia, showQr, pairCode: args.pairCode });
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
    process.exit(0);
  };
  process.on('SIGINT', () => stop('SIGINT'));
  process.on('SIGTERM', () => stop('SIGTERM'));
  await bridge.start();
}

main().catch((err) => {
  process.stderr.write(`talmo-bridge: ${err.stack ?? err}\n`);
  process.exit(1);
});
