'use strict';
// Runs in a fresh process (with --expose-gc): peak RSS of one batchFileHash
// call, or of building an equally large result in plain JavaScript, over the
// first <count> files of a fixture set. Prints one JSON object.
//   node --expose-gc rss_child.js <fixture root> <set> <count> native|js-result [addon]
const path = require('node:path');
const { resetPeak, peak } = require('./lib/peak');
const { SETS } = require('./lib/fixtures');

const [root, setName, countText, mode, addon] = process.argv.slice(2);
const count = Number(countText);
const set = SETS[setName];
const paths = Array.from({ length: count }, (_, i) => set.filePath(path.join(root, setName), i));
const native = require(addon || path.join(__dirname, '..'));


let build;
if (mode === 'native') {
  // Start the worker pool first: its threads are paid for once per process.
  native.batchFileHash(paths.slice(0, 4));
  build = () => native.batchFileHash(paths);
} else {
  // The same shape and string lengths, copied out of flat buffers so that
  // every string is new, as the native result's are.
  const joined = Buffer.from(paths.join(''), 'latin1');
  const offsets = [0];
  for (const p of paths) offsets.push(offsets[offsets.length - 1] + p.length);
  const digests = Buffer.alloc(32 * count, 0x5a);
  build = () => {
    const out = new Array(count);
    for (let i = 0; i < count; i++) {
      out[i] = [joined.toString('latin1', offsets[i], offsets[i + 1]), digests.toString('hex', 32 * i, 32 * i + 32)];
    }
    return out;
  };
}

global.gc();
global.gc();
const before = process.memoryUsage();
const resettable = resetPeak();
const result = build();
const top = peak(resettable);
process.stdout.write(
  JSON.stringify({
    mode,
    count,
    entries: result.length,
    rssBefore: before.rss,
    peak: top,
    growth: top - before.rss,
    method: resettable ? 'VmHWM after a reset' : 'getrusage maxRSS',
  }),
);
