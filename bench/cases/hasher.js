'use strict';
// The incremental hasher and hashStream of tov-engine-native/sha256 against
// node:crypto: small updates per call, a large input in 64 KiB pieces against
// the one-shot digest of one buffer, and a file stream against
// stream.pipe(createHash).
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { sameAnswer, speedup } = require('../lib/case');

const MIB = 1024 * 1024;
const STREAM_FILE_SIZE = 256 * MIB;

function sha256Module(ctx) {
  // The hasher lives beside the addon being timed (--addon names a .node file
  // inside a package tree, or the package itself).
  return require(path.join(__dirname, '..', '..', 'sha256.js'));
}

// A 256 MiB file of random bytes, kept between runs beside the other
// fixtures and checked (which also brings it into the page cache).
function streamFile(ctx) {
  const dir = path.join(ctx.fixtures.root, 'hasher');
  const file = path.join(dir, 'stream-256MiB.bin');
  const recordPath = path.join(dir, 'record.json');
  try {
    const record = JSON.parse(fs.readFileSync(recordPath, 'utf8'));
    const data = fs.readFileSync(file);
    if (data.length === STREAM_FILE_SIZE && crypto.hash('sha256', data) === record.digest) return { file, digest: record.digest };
  } catch {
    // Missing or stale: written again below.
  }
  process.stderr.write(`fixtures: writing a 256 MiB file to ${dir} ...\n`);
  fs.mkdirSync(dir, { recursive: true });
  const data = crypto.randomBytes(STREAM_FILE_SIZE);
  fs.writeFileSync(file, data);
  const digest = crypto.hash('sha256', data);
  fs.writeFileSync(recordPath, JSON.stringify({ digest }));
  return { file, digest };
}

function pipeCreateHash(file) {
  return new Promise((resolve, reject) => {
    const hash = crypto.createHash('sha256');
    fs.createReadStream(file)
      .on('error', reject)
      .pipe(hash)
      .on('error', reject)
      .on('finish', () => resolve(hash.digest('hex')));
  });
}

module.exports = [
  {
    id: 'hasher-update-64B',
    group: 'hasher',
    title: 'createSha256().update, 64-byte pieces (1,024 calls per sample)',
    async run(ctx) {
      const { createSha256 } = sha256Module(ctx);
      const extensions = require(path.join(__dirname, '..', '..', 'lib', 'native', 'extensions.js')).load();
      const piece = crypto.randomBytes(64);
      const check = [createSha256(), crypto.createHash('sha256')];
      for (let i = 0; i < 10000; i++) for (const h of check) h.update(piece);
      sameAnswer('update x 10000', check[0].digest(), check[1].digest('hex'));
      const hasher = createSha256();
      const hash = crypto.createHash('sha256');
      const ours = () => {
        for (let i = 0; i < 1024; i++) hasher.update(piece);
      };
      const peer = () => {
        for (let i = 0; i < 1024; i++) hash.update(piece);
      };
      // What no update of 64 bytes can beat: compressing one block, here
      // 1,024 of them in one native call with nothing else around it.
      const words = new Uint32Array(8);
      const blocks = crypto.randomBytes(64 * 1024);
      const compression = () => extensions.sha256Blocks(words, blocks, 0, 1024);
      return speedup(ctx, {
        bytes: 64 * 1024,
        sides: { ours, peer, compression },
        peers: {
          peer: { description: "crypto.createHash('sha256').update(piece)", target: 2 },
          compression: {
            id: 'hasher-update-64B-floor',
            title: '  the same blocks compressed in one call (the floor)',
            description: 'single-stream compression alone, no update calls',
            target: null,
          },
        },
      });
    },
  },
  {
    id: 'hasher-1GiB-64KiB',
    group: 'hasher',
    title: 'createSha256, 1 GiB in 64 KiB pieces vs one-shot sha256',
    async run(ctx) {
      const { createSha256 } = sha256Module(ctx);
      // 1 GiB as four passes over 256 MiB, which spares the machine a 1 GiB
      // buffer; the one-shot side hashes the same 256 MiB four times.
      const buffer = crypto.randomBytes(256 * MIB);
      const piece = 64 * 1024;
      const pieces = [];
      for (let at = 0; at < buffer.length; at += piece) pieces.push(buffer.subarray(at, at + piece));
      const ours = () => {
        let digest;
        for (let pass = 0; pass < 4; pass++) {
          const hash = createSha256();
          for (const p of pieces) hash.update(p);
          digest = hash.digest();
        }
        return digest;
      };
      const oneShot = () => {
        let digest;
        for (let pass = 0; pass < 4; pass++) digest = ctx.native.sha256(buffer);
        return digest;
      };
      const peer = () => {
        let digest;
        for (let pass = 0; pass < 4; pass++) {
          const hash = crypto.createHash('sha256');
          for (const p of pieces) hash.update(p);
          digest = hash.digest('hex');
        }
        return digest;
      };
      sameAnswer('1 GiB in pieces', ours(), oneShot());
      sameAnswer('1 GiB in pieces (createHash)', ours(), peer());
      return speedup(ctx, {
        bytes: 1024 * MIB,
        timing: { sampleMs: 100, rounds: 7, warmupMs: 10 },
        sides: { ours, oneShot, peer },
        peers: {
          oneShot: {
            id: 'hasher-1GiB-vs-sha256',
            description: 'sha256(one 256 MiB Buffer), four times (the single-stream reference)',
            target: 0.95,
          },
          peer: {
            id: 'hasher-1GiB-vs-createHash',
            title: 'createSha256 vs createHash, 1 GiB in 64 KiB pieces',
            description: "crypto.createHash('sha256').update(piece) per 64 KiB",
            target: null,
          },
        },
      });
    },
  },
  {
    id: 'hasher-stream-256MiB',
    group: 'hasher',
    title: 'hashStream of a 256 MiB file stream',
    async run(ctx) {
      const { hashStream } = sha256Module(ctx);
      const { file, digest } = streamFile(ctx);
      const ours = () => hashStream(fs.createReadStream(file));
      const peer = () => pipeCreateHash(file);
      // What no consumer of the stream can beat: reading it without hashing,
      // in the 1 MiB pieces hashStream reads a file stream in.
      const reading = async () => {
        let size = 0;
        for await (const chunk of fs.createReadStream(file, { highWaterMark: MIB })) size += chunk.length;
        return size;
      };
      sameAnswer('hashStream', await ours(), digest);
      sameAnswer('pipe(createHash)', await peer(), digest);
      return speedup(ctx, {
        bytes: STREAM_FILE_SIZE,
        timing: { isAsync: true, sampleMs: 100, rounds: 9, warmupMs: 10 },
        sides: { ours, peer, reading },
        peers: {
          peer: { description: "fs.createReadStream(file).pipe(crypto.createHash('sha256'))", target: 1.5 },
          reading: {
            id: 'hasher-stream-256MiB-floor',
            title: '  the same stream read without hashing (the floor)',
            description: 'for await (const chunk of fs.createReadStream(file, { highWaterMark: 1 MiB })) {}',
            target: null,
          },
        },
      });
    },
  },
];
