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
// Rows take their id, group and title from the case being run unless the
// definition (or a peer's entry) names its own.
async function speedup(ctx, definition) {
  const owner = ctx.current || {};
  const result = await compare(definition.sides, timing(ctx, definition.timing));
  const names = Object.keys(definition.sides);
  const ours = result.sides[names[0]];
  const best = ctx.options.stat === 'best';
  return names.slice(1).map((name) => {
    const ratio = result.ratios[name];
    const peer = result.sides[name];
    const peerDefinition = (definition.peers && definition.peers[name]) || {};
    return row({
      id: peerDefinition.id || definition.id || owner.id,
      group: definition.group || owner.group,
      title: peerDefinition.title || definition.title || owner.title,
      peerName: peerDefinition.description || definition.peerDescription,
      oursText: describeSide(best ? ours.min : ours.median, definition.bytes),
      peerText: describeSide(best ? peer.min : peer.median, definition.bytes),
      ratio: best ? ratio.ofBests : ratio.ofMedians,
      otherRatio: best ? ratio.ofMedians : ratio.ofBests,
      ratioRange: [ratio.q1, ratio.q3],
      target: peerDefinition.target !== undefined ? peerDefinition.target : definition.target,
      kind: 'speedup',
      oursNs: best ? ours.min : ours.median,
      peerNs: best ? peer.min : peer.median,
      bytesPerCall: definition.bytes || null,
      note: peerDefinition.note || definition.note,
      raw: { ours, peer, iterations: result.iterations },
    });
  });
}

module.exports = { MismatchError, sameAnswer, speedup, timing };
