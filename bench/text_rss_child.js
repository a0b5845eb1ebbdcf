'use strict';
// Runs in a fresh process (with --expose-gc): the peak RSS growth of one call
// of each text function on a source text of <bytes> UTF-8 bytes, and of the
// plain JavaScript way of doing the same. Prints one JSON object.
//   node --expose-gc text_rss_child.js <bytes> <seed> [addon]
const crypto = require('node:crypto');
const path = require('node:path');
const { resetPeak, peak, rss } = require('./lib/peak');
const peers = require('./lib/peers');
const { sourceText } = require('./lib/data');

const [bytesText, seedText, addon] = process.argv.slice(2);
const native = require(addon || path.join(__dirname, '..'));
const text = sourceText(Number(bytesText), Number(seedText));
const total = peers.countTokensUnits(text);

let resettable = false;
let sink = null;
function growth(fn) {
  global.gc();
  global.gc();
  const before = rss();
  resettable = resetPeak();
  sink = fn();
  const top = peak(resettable);
  sink = null;
  return top - before;
}

const calls = [
  ['sha256String', 'sha256String', () => native.sha256String(text), "crypto.hash('sha256', text)", () => crypto.hash('sha256', text)],
  ['countTokens', 'countTokens', () => native.countTokens(text), 'charCodeAt loop', () => peers.countTokensUnits(text)],
  ['cut1000', 'truncateToTokens to 1,000 tokens', () => native.truncateToTokens(text, 1000), 'charCodeAt loop + slice', () => peers.truncateToTokensUnits(text, 1000)],
  ['cutHalf', 'truncateToTokens to half its tokens', () => native.truncateToTokens(text, total >> 1), 'charCodeAt loop + slice', () => peers.truncateToTokensUnits(text, total >> 1)],
];
// Each side once before measuring, so that code and first-use costs are out
// of the figures.
for (const [, , ours, , peer] of calls) {
  ours();
  peer();
}
const out = calls.map(([name, title, ours, peerName, peer]) => ({ name, title, ours: growth(ours), peerName, peer: growth(peer) }));
process.stdout.write(
  JSON.stringify({
    bytes: Buffer.byteLength(text, 'utf8'),
    units: text.length,
    textBytes: 2 * text.length,
    calls: out,
    method: resettable ? 'VmHWM after a reset' : 'getrusage maxRSS',
  }),
);
