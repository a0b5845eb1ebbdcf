'use strict';
// countTokens and truncateToTokens against a JavaScript loop over
// Buffer.from(text) that applies the same byte rule.
const peers = require('../lib/peers');
const { sourceText } = require('../lib/data');
const { MismatchError, sameAnswer, speedup } = require('../lib/case');

const TEXT_BYTES = 1024 * 1024;
const PEER = 'JS byte loop over Buffer.from(text)';

let cachedText = null;
function text() {
  if (cachedText === null) cachedText = sourceText(TEXT_BYTES, 1);
  return cachedText;
}

// About half the tokens, nudged so that the cut falls on a character
// boundary: there both sides must return the very same string.
function halfBudget(buf, total) {
  for (let budget = Math.floor(total / 2); budget > 0; budget--) {
    const cut = peers.cutIndex(buf, budget);
    if (cut >= 0 && (buf[cut] & 0xc0) !== 0x80) return { budget, cut };
  }
  throw new MismatchError('no budget cuts the text on a character boundary');
}

module.exports = [
  {
    id: 'countTokens-1MiB',
    group: 'tokens',
    title: 'countTokens, 1 MiB source text',
    async run(ctx) {
      const t = text();
      const ours = () => ctx.native.countTokens(t);
      const peer = () => peers.countTokens(t);
      const units = () => peers.countTokensUnits(t);
      sameAnswer('countTokens', ours(), peer());
      sameAnswer('countTokens', ours(), units());
      return speedup(ctx, {
        target: 5,
        bytes: TEXT_BYTES,
        peerDescription: PEER,
        note: `text: ${TEXT_BYTES} bytes, ${t.length} UTF-16 units, ${ours()} tokens`,
        sides: { ours, peer, units },
        peers: { units: { description: 'JS charCodeAt loop over the string', target: null } },
      });
    },
  },
  {
    id: 'truncateToTokens-1MiB',
    group: 'tokens',
    title: 'truncateToTokens, 1 MiB text',
    async run(ctx) {
      const t = text();
      const buf = Buffer.from(t, 'utf8');
      const total = peers.countTokens(t);
      const { budget, cut } = halfBudget(buf, total);
      const rows = [];
      for (const [label, b, note] of [
        ['half', budget, `budget ${budget} of ${total} tokens: keeps ${cut} of ${buf.length} bytes`],
        ['whole', total, `budget ${total} = the text's estimate: the whole text is returned`],
      ]) {
        const ours = () => ctx.native.truncateToTokens(t, b);
        const peer = () => peers.truncateToTokens(t, b);
        const units = () => peers.truncateToTokensUnits(t, b);
        sameAnswer(`truncateToTokens (${label})`, ours(), peer());
        sameAnswer(`truncateToTokens (${label})`, ours(), units());
        rows.push(
          ...(await speedup(ctx, {
            id: `truncateToTokens-1MiB-${label}`,
            title: `truncateToTokens, 1 MiB text, ${label === 'half' ? 'cut at half' : 'kept whole'}`,
            target: 4,
            bytes: label === 'half' ? cut : TEXT_BYTES,
            peerDescription: `${PEER} + buf.toString('utf8', 0, cut)`,
            note,
            sides: { ours, peer, units },
            peers: { units: { description: 'JS charCodeAt loop, stopping at the cut, + slice', target: null } },
          })),
        );
      }
      return rows;
    },
  },
];
