'use strict';
// fileHash against the two usual ways of hashing a file in Node.js.
const peers = require('../lib/peers');
const { sameAnswer, speedup } = require('../lib/case');

const SMALL_COUNT = 2000;

module.exports = [
  {
    id: 'fileHash-64MiB',
    group: 'fileHash',
    title: 'fileHash, one 64 MiB file',
    async run(ctx) {
      const file = ctx.fixtures.paths('large')[0];
      const expected = ctx.fixtures.digests('large')[0];
      const ours = () => ctx.native.fileHash(file);
      const stream = () => peers.fileHashStream(file);
      const readFile = () => peers.fileHashReadFile(file);
      sameAnswer('fileHash', await ours(), expected);
      sameAnswer('fileHash (stream)', await stream(), expected);
      sameAnswer('fileHash (readFile)', await readFile(), expected);
      return speedup(ctx, {
        bytes: 64 * 1024 * 1024,
        timing: { isAsync: true, sampleMs: 100, rounds: 9 },
        sides: { ours, stream, readFile },
        peers: {
          stream: {
            id: 'fileHash-64MiB-vs-stream',
            title: 'fileHash, 64 MiB file vs createReadStream',
            description: 'fs.createReadStream(p).pipe(crypto.createHash(sha256))',
            target: 1.5,
          },
          readFile: {
            id: 'fileHash-64MiB-vs-readFile',
            title: 'fileHash, 64 MiB file vs promises.readFile',
            description: 'fs.promises.readFile + crypto.createHash',
            target: 3,
          },
        },
      });
    },
  },
  {
    id: 'fileHash-2000-small',
    group: 'fileHash',
    title: 'fileHash, 2,000 small files at once',
    async run(ctx) {
      const files = ctx.fixtures.paths('small').slice(0, SMALL_COUNT);
      const expected = ctx.fixtures.digests('small').slice(0, SMALL_COUNT);
      const ours = () => Promise.all(files.map((p) => ctx.native.fileHash(p)));
      const peer = () => Promise.all(files.map((p) => peers.fileHashReadFile(p)));
      sameAnswer('fileHash x 2000', await ours(), expected);
      sameAnswer('fileHash x 2000 (readFile)', await peer(), expected);
      return speedup(ctx, {
        title: 'fileHash, 2,000 small files via Promise.all',
        bytes: ctx.fixtures.totalBytes('small', SMALL_COUNT),
        timing: { isAsync: true, sampleMs: 100, rounds: 9 },
        peerDescription: 'Promise.all of fs.promises.readFile + crypto.createHash',
        target: 3,
        sides: { ours, peer },
      });
    },
  },
];
