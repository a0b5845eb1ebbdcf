'use strict';
// Helpers shared by the case files: the correctness gate before timing and
// the conversion of a comparison into table rows.
const assert = require('node:assert/strict');
const { compare } = require('./measure');
const { describeSide, row } = require('./report');

class MismatchError extends Error {}

// Both sides must give the same answer, or the figures compare different
// work.
function sameAnswer(what, ours, peer) {
  try {
    assert.deepStrictEqual(ours, peer);
  } catch (error) {
    throw new MismatchError(`${what}: native and JavaScript results differ\n${error.message}`);
  }
}

function timing(ctx, overrides = {}) {
  const { rounds, sampleScale } = ctx.options;
  const sampleMs = (overrides.sampleMs || 2) * sampleScale;
  return {
    ...overrides,
    rounds: overrides.rounds ? Math.min(overrides.rounds, rounds) : rounds,
    sampleMs,
    warmupMs: (overrides.warmupMs || 150) * sampleScale,
  };
}

// Rows for a comparison whose first side is ours and whose other sides are
// peers, one row per peer.
async function speedup(ctx, spec) {
  const result = await compare(spec.sides, timing(ctx, spec.timing));
  const names = Object.keys(spec.sides);
  const ours = result.sides[names[0]];
  const best = ctx.options.stat === 'best';
  return names.slice(1).map((name) => {
    const ratio = result.ratios[name];
    const peer = result.sides[name];
    const peerSpec = (spec.peers && spec.peers[name]) || {};
    return row({
      id: peerSpec.id || spec.id,
      group: spec.group,
      title: peerSpec.title || spec.title,
      peerName: peerSpec.description || spec.peerDescription,
      oursText: describeSide(best ? ours.min : ours.median, spec.bytes),
      peerText: describeSide(best ? peer.min : peer.median, spec.bytes),
      ratio: best ? ratio.ofBests : ratio.ofMedians,
      otherRatio: best ? ratio.ofMedians : ratio.ofBests,
      ratioRange: [ratio.q1, ratio.q3],
      target: peerSpec.target !== undefined ? peerSpec.target : spec.target,
      kind: 'speedup',
      oursNs: best ? ours.min : ours.median,
      peerNs: best ? peer.min : peer.median,
      bytesPerCall: spec.bytes || null,
      note: peerSpec.note || spec.note,
      raw: { ours, peer, iterations: result.iterations },
    });
  });
}

module.exports = { MismatchError, sameAnswer, speedup, timing };
