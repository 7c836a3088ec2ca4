// The bridge process as `node bridge/src/main.js` runs it, with the WhatsApp
// socket pointed at $BRIDGE_BENCH_WS_URL (a loopback port that refuses) and
// the version fetch answered at once, so it idles in its reconnect loop
// without reaching the internet. Started by bench/bridge_idle.sh.
import { main } from '../bridge/src/main.js';

await main({
  argv: [],
  socketOptions: { waWebSocketUrl: process.env.BRIDGE_BENCH_WS_URL },
  fetchVersion: async () => ({ version: [2, 3000, 1043857760], isLatest: true }),
});
