'use strict';
// Faults found by the stress and sanitizer runs (test/stress, scripts/), kept
// here so that the quick suite guards them too.
const { test } = require('node:test');
const assert = require('node:assert/strict');

const addon = require('../..');

function sparse(length) {
  const array = [];
  array.length = length;
  return array;
}

// A sparse array claiming 2^32 - 1 items once made the list conversions
// reserve room for all of them up front: tens of gigabytes, and the process
// aborted with "memory allocation failed". The first hole fails instead.
test('lists that claim 2^32 - 1 items fail at their first hole', () => {
  const huge = sparse(2 ** 32 - 1);
  const notText = (error) =>
    error.code === 'StringExpected' &&
    error.message === 'Failed to convert JavaScript value `Undefined` into rust type `String`';
  const notArray = (error) => error.code === 'InvalidArg' && error.message === 'Given napi value is not an array';
  assert.throws(() => addon.batchFileHash(huge), notText);
  assert.throws(() => addon.merkleRoot(huge), notArray);
  assert.throws(() => addon.merkleDiff(huge, []), notArray);
  assert.throws(() => addon.merkleDiff([], huge), notArray);
  assert.throws(() => addon.merkleRoot([sparse(2 ** 32 - 1)]), notText);

  // A long list whose items are all there still converts past the capped
  // up-front room.
  const paths = Array.from({ length: 70_000 }, (_, i) => `/nonexistent/tov/${i}`);
  assert.deepEqual(addon.batchFileHash(paths), []);
  const manifest = Array.from({ length: 70_000 }, (_, i) => [`k${i}`, 'v']);
  assert.deepEqual(addon.merkleDiff(manifest, manifest), { added: [], modified: [], deleted: [] });
});
