'use strict';
// merkleRoot and merkleDiff over 100,000-entry manifests.
const peers = require('../lib/peers');
const { manifest, revise } = require('../lib/data');
const { sameAnswer, speedup } = require('../lib/case');
const { sortedDiff } = require('../../test/support');

const ENTRIES = 100000;
const CHANGES = { modified: 0.03, deleted: 0.02, added: 0.02 };

let cachedFirst = null;
function first() {
  if (cachedFirst === null) cachedFirst = manifest(ENTRIES);
  return cachedFirst;
}

module.exports = [
  {
    id: 'merkleRoot-100k',
    group: 'merkleRoot',
    title: 'merkleRoot, 100,000 entries',
    async run(ctx) {
      const m = first();
      const ours = () => ctx.native.merkleRoot(m);
      const peer = () => peers.merkleRoot(m);
      sameAnswer('merkleRoot', ours(), peer());
      return speedup(ctx, {
        target: 3,
        timing: { sampleMs: 100, rounds: 9 },
        peerDescription: 'JS: filter, sort with <, join lines, node:crypto',
        sides: { ours, peer },
      });
    },
  },
  {
    id: 'merkleDiff-100k',
    group: 'merkleDiff',
    title: 'merkleDiff, 2 x 100,000 entries',
    async run(ctx) {
      const a = first();
      const { second: b, expected } = revise(a, CHANGES);
      const ours = () => ctx.native.merkleDiff(a, b);
      const peer = () => peers.merkleDiff(a, b);
      const answer = sortedDiff(ours());
      sameAnswer('merkleDiff', answer, sortedDiff(peer()));
      const counts = { added: answer.added.length, modified: answer.modified.length, deleted: answer.deleted.length };
      sameAnswer('merkleDiff change counts', counts, expected);
      return speedup(ctx, {
        target: 1.5,
        timing: { sampleMs: 100, rounds: 9 },
        peerDescription: 'JS: two Maps',
        note: `${counts.added} added, ${counts.modified} modified, ${counts.deleted} deleted`,
        sides: { ours, peer },
      });
    },
  },
];

