'use strict';
// sha256 and sha256String against node:crypto on the same input.
const crypto = require('node:crypto');
const peers = require('../lib/peers');
const { sourceText, utf8Prefix } = require('../lib/data');
const { sameAnswer, speedup } = require('../lib/case');

const MIB = 1024 * 1024;

function bufferCase(id, title, size, target, timing) {
  return {
    id,
    group: 'sha256',
    title,
    async run(ctx) {
      const buf = crypto.randomBytes(size);
      const ours = () => ctx.native.sha256(buf);
      const peer = () => peers.sha256Hex(buf);
      const oneShot = () => crypto.hash('sha256', buf);
      sameAnswer(id, ours(), peer());
      sameAnswer(id, ours(), oneShot());
      return speedup(ctx, {
        id,
        title,
        target,
        bytes: size,
        timing,
        peerDescription: "crypto.createHash('sha256').update(b).digest('hex')",
        sides: { ours, peer, oneShot },
        peers: { oneShot: { description: "crypto.hash('sha256', b)", target: null } },
      });
    },
  };
}

function stringCase(id, title, makeText, target) {
  return {
    id,
    group: 'sha256String',
    title,
    async run(ctx) {
      const text = makeText();
      const ours = () => ctx.native.sha256String(text);
      const peer = () => peers.sha256Hex(text);
      const oneShot = () => crypto.hash('sha256', text);
      sameAnswer(id, ours(), peer());
      sameAnswer(id, ours(), oneShot());
      return speedup(ctx, {
        id,
        title,
        target,
        bytes: Buffer.byteLength(text, 'utf8'),
        peerDescription: "crypto.createHash('sha256').update(text).digest('hex')",
        sides: { ours, peer, oneShot },
        peers: { oneShot: { description: "crypto.hash('sha256', text)", target: null } },
      });
    },
  };
}

// A 1 KiB stretch of source text; the mixed one carries a few non-ASCII
// characters, so V8 holds it as a two-byte string.
function mixedKiB() {
  const text = sourceText(64 * 1024, 3);
  const start = text.search(/[^\x00-\x7f]/);
  return utf8Prefix(text.slice(Math.max(0, start - 300)), 1024);
}

function asciiKiB() {
  return utf8Prefix(sourceText(64 * 1024, 3).replace(/[^\x00-\x7f]/g, 'u'), 1024);
}

module.exports = [
  bufferCase('sha256-64B', 'sha256, 64-byte Buffer', 64, 4),
  bufferCase('sha256-64MiB', 'sha256, 64 MiB Buffer', 64 * MIB, 1, { sampleMs: 100, rounds: 7 }),
  stringCase('sha256String-1KiB', 'sha256String, 1 KiB source text (non-ASCII)', mixedKiB, 3),
  stringCase('sha256String-1KiB-ascii', 'sha256String, 1 KiB source text (ASCII)', asciiKiB, 3),
];
