// The pairing QR code: drawn in the terminal and saved as a PNG beside the
// session, for a terminal that cannot show it well.
import fs from 'node:fs';
import QRCode from 'qrcode';

export async function showQr(qr, pngPath, out = process.stdout) {
  const art = await QRCode.toString(qr, { type: 'terminal', small: true });
  out.write(`\n${art}\n`);
  const temp = `${pngPath}.tmp`;
  await QRCode.toFile(temp, qr, { type: 'png', width: 400 });
  fs.chmodSync(temp, 0o600);
  fs.renameSync(temp, pngPath);
}
