'use strict';
// sha256String, countTokens and truncateToTokens on long texts, where
// reading the string is most of the work: 1 MiB and 64 MiB of mixed source
// text, and with --long about 256 Mi characters. Each function is timed
// against the fastest plain way and the usual one, and its peak memory is
// taken in a fresh process.
const crypto = require('node:crypto');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const peers = require('../lib/peers');
const { sourceText } = require('../lib/data');
const { MismatchError, sameAnswer, speedup } = require('../lib/case');
const { formatBytes, row } = require('../lib/report');

const MIB = 1024 * 1024;
const CHAR_LOOP = 'JS charCodeAt loop over the string';
const BYTE_LOOP = 'JS byte loop over Buffer.from(text)';

const SIZES = [
  { label: '1 MiB', bytes: MIB, seed: 11 },
  { label: '64 MiB', bytes: 64 * MIB, seed: 12 },
  { label: '256 Mi chars', bytes: 256 * MIB, seed: 13, long: true },
];

const texts = new Map();
function textOf(size) {
  if (!texts.has(size.label)) {
    texts.clear(); // one long text alive at a time
    texts.set(size.label, sourceText(size.bytes, size.seed));
  }
  return texts.get(size.label);
}

// Long calls take whole seconds on the JavaScript side: few, single rounds.
function timingFor(size) {
  return size.bytes > MIB ? { sampleMs: 50, rounds: size.long ? 3 : 5, warmupMs: 1 } : undefined;
}

// About half the tokens, nudged so that the cut falls on a character boundary.
function halfBudget(buf, total) {
  for (let budget = Math.floor(total / 2); budget > 0; budget--) {
    const cut = peers.cutIndex(buf, budget);
    if (cut >= 0 && (buf[cut] & 0xc0) !== 0x80) return budget;
  }
  throw new MismatchError('no budget cuts the text on a character boundary');
}

function cases(size) {
  const id = (name) => `long-${name}-${size.label.replace(/ /g, '')}`;
  const title = (name) => `${name}, ${size.label} source text`;
  return [
    {
      id: id('sha256String'),
      group: 'long',
      title: title('sha256String'),
      long: size.long,
      async run(ctx) {
        const t = textOf(size);
        const buf = Buffer.from(t, 'utf8');
        const ours = () => ctx.native.sha256String(t);
        const oneShot = () => crypto.hash('sha256', t);
        const stream = () => peers.sha256Hex(t);
        const buffer = () => ctx.native.sha256(buf);
        sameAnswer('sha256String', ours(), oneShot());
        sameAnswer('sha256String', ours(), buffer());
        return speedup(ctx, {
          bytes: buf.length,
          timing: timingFor(size),
          note: `${buf.length} bytes, ${t.length} UTF-16 units`,
          sides: { ours, oneShot, stream, buffer },
          peers: {
            // On a short text crypto.hash costs little more than the digest
            // itself; the 4x aim is for the long texts, which it copies whole.
            oneShot: { description: "crypto.hash('sha256', text)", target: size.bytes > MIB ? 4 : undefined },
            stream: { description: "crypto.createHash('sha256').update(text).digest('hex')" },
            buffer: {
              description: 'sha256 of the same bytes as a Buffer (this machine\'s one-stream SHA-256)',
              target: 0.6,
            },
          },
        });
      },
    },
    {
      id: id('countTokens'),
      group: 'long',
      title: title('countTokens'),
      long: size.long,
      async run(ctx) {
        const t = textOf(size);
        const ours = () => ctx.native.countTokens(t);
        const units = () => peers.countTokensUnits(t);
        const bytes = () => peers.countTokens(t);
        sameAnswer('countTokens', ours(), units());
        sameAnswer('countTokens', ours(), bytes());
        return speedup(ctx, {
          bytes: Buffer.byteLength(t, 'utf8'),
          timing: timingFor(size),
          sides: { ours, units, bytes },
          peers: { units: { description: CHAR_LOOP, target: 10 }, bytes: { description: BYTE_LOOP } },
        });
      },
    },
    {
      id: id('truncateToTokens'),
      group: 'long',
      title: title('truncateToTokens'),
      long: size.long,
      async run(ctx) {
        const t = textOf(size);
        const buf = Buffer.from(t, 'utf8');
        const half = halfBudget(buf, peers.countTokensUnits(t));
        const rows = [];
        for (const [label, budget, target] of [['1000', 1000, 5], ['half', half, 5]]) {
          const ours = () => ctx.native.truncateToTokens(t, budget);
          const units = () => peers.truncateToTokensUnits(t, budget);
          sameAnswer(`truncateToTokens (${label})`, ours(), units());
          const kept = Buffer.byteLength(units(), 'utf8');
          const sides = { ours, units };
          const peerRows = { units: { description: `${CHAR_LOOP}, stopping at the cut, + slice`, target } };
          if (label === 'half') {
            sides.bytes = () => peers.truncateToTokens(t, budget);
            peerRows.bytes = { description: `${BYTE_LOOP} + buf.toString('utf8', 0, cut)` };
          }
          rows.push(
            ...(await speedup(ctx, {
              id: `${id('truncateToTokens')}-${label}`,
              title: `${title('truncateToTokens')}, to ${label === 'half' ? 'half its tokens' : '1,000 tokens'}`,
              bytes: kept,
              timing: timingFor(size),
              note: `budget ${budget}: keeps ${kept} of ${buf.length} bytes (rate: kept bytes)`,
              sides,
              peers: peerRows,
            })),
          );
        }
        return rows;
      },
    },
  ];
}

function child(ctx, size) {
  const script = path.join(__dirname, '..', 'text_rss_child.js');
  const out = execFileSync(
    process.execPath,
    ['--expose-gc', script, String(size.bytes), String(size.seed), ctx.addonPath],
    { encoding: 'utf8', maxBuffer: 1 << 20 },
  );
  return JSON.parse(out);
}

// Peak RSS of one call of each function, beyond the text itself, in a fresh
// process, next to the plain ways.
function memoryCase(size) {
  return {
    id: `text-rss-${size.label.replace(/ /g, '')}`,
    group: 'long',
    title: `peak RSS, ${size.label} source text`,
    long: size.long,
    async run(ctx) {
      const result = child(ctx, size);
      return result.calls.map((call) =>
        row({
          id: `text-rss-${size.label.replace(/ /g, '')}-${call.name}`,
          group: 'long',
          kind: 'info',
          title: `${call.title}, ${size.label}: peak RSS growth`,
          oursText: `+${formatBytes(call.ours)}`,
          peerText: `+${formatBytes(call.peer)} (${call.peerName})`,
          note: `text: ${result.units} UTF-16 units held as ${formatBytes(result.textBytes)} (peak from ${result.method})`,
          call,
        }),
      );
    },
  };
}

module.exports = SIZES.flatMap((size) => [...cases(size), ...(size.bytes > MIB ? [memoryCase(size)] : [])]);
