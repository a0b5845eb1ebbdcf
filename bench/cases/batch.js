'use strict';
// batchFileHash against a synchronous JavaScript loop, against the machine's
// own SHA-256 limit, and its peak memory as the file count grows.
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const peers = require('../lib/peers');
const { opensslSha256Limit } = require('../lib/machine');
const { formatBytes, formatRate, row } = require('../lib/report');
const { sameAnswer, speedup } = require('../lib/case');

const PEER = 'JS loop: fs.statSync + fs.readFileSync + createHash per file';

function expectedManifest(ctx, set) {
  const digests = ctx.fixtures.digests(set);
  return ctx.fixtures.paths(set).map((p, i) => [p, digests[i]]);
}

function batchCase(id, set, title, target, timing, extra) {
  return {
    id,
    group: 'batch',
    title,
    async run(ctx) {
      const paths = ctx.fixtures.paths(set);
      const expected = expectedManifest(ctx, set);
      const ours = () => ctx.native.batchFileHash(paths);
      const peer = () => peers.batchFileHash(paths);
      sameAnswer(`${id} (native)`, ours(), expected);
      sameAnswer(`${id} (JavaScript)`, peer(), expected);
      const totalBytes = ctx.fixtures.totalBytes(set);
      const rows = await speedup(ctx, {
        id,
        title,
        target,
        bytes: totalBytes,
        timing,
        peerDescription: PEER,
        sides: { ours, peer },
      });
      if (extra) rows.push(...extra(ctx, rows[0], totalBytes));
      return rows;
    },
  };
}

// Our batch throughput as a share of what `openssl speed` reaches with one
// process per core, measured right after our own figures.
function againstOpenssl(ctx, batchRow, totalBytes) {
  const jobs = ctx.machine.cores;
  // Best of two runs, as our own figure is the best of its rounds.
  const seconds = ctx.options.quick ? 1 : 3;
  const runs = [opensslSha256Limit(jobs, seconds), opensslSha256Limit(jobs, seconds)];
  const measured = runs.filter((r) => !r.error).sort((a, b) => b.bytesPerSecond - a.bytesPerSecond);
  const limit = measured.length > 0 ? measured[0] : runs[0];
  const oursRate = (totalBytes * 1e9) / batchRow.oursNs;
  if (limit.error) {
    return [
      row({
        id: 'batchFileHash-vs-openssl',
        group: 'batch',
        kind: 'info',
        title: 'batchFileHash 8 x 64 MiB vs openssl speed',
        oursText: formatRate(oursRate),
        peerText: 'n/a',
        note: limit.error,
      }),
    ];
  }
  const perCore = limit.bytesPerSecond / jobs;
  // If the loop hashed at one core's openssl rate and read for free, and ours
  // ran at the full limit, this is the best ratio the machine allows.
  const bound = (batchRow.peerNs * limit.bytesPerSecond) / (totalBytes * 1e9);
  return [
    row({
      id: 'batchFileHash-vs-openssl',
      group: 'batch',
      kind: 'fraction',
      title: 'batchFileHash 8 x 64 MiB, share of openssl limit',
      oursText: formatRate(oursRate),
      peerText: `${formatRate(limit.bytesPerSecond)} (openssl -multi ${jobs})`,
      ratio: oursRate / limit.bytesPerSecond,
      target: 1.3,
      note:
        `best of 2 x ${seconds} s; ${limit.version}; ${formatRate(perCore)} per core. At that limit ` +
        `our ratio over the one-thread loop above could reach ${bound.toFixed(2)}x`,
      opensslBytesPerSecond: limit.bytesPerSecond,
      oursBytesPerSecond: oursRate,
    }),
  ];
}

function child(ctx, set, count, mode) {
  const script = path.join(__dirname, '..', 'rss_child.js');
  const out = execFileSync(
    process.execPath,
    ['--expose-gc', script, ctx.fixtures.root, set, String(count), mode, ctx.addonPath],
    { encoding: 'utf8' },
  );
  return JSON.parse(out);
}

// Peak RSS during one batchFileHash call in a fresh process, next to the
// growth that building an equal result in plain JavaScript causes; the
// difference is what the call needs beyond its result.
const memoryCase = {
  id: 'batchFileHash-rss',
  group: 'batch',
  title: 'batchFileHash peak RSS',
  async run(ctx) {
    ctx.fixtures.paths('small');
    ctx.fixtures.paths('large');
    const rows = [];
    const runs = [
      ['small', 2000, '2,000 small files'],
      ['small', 20000, '20,000 small files'],
      ['large', 8, '8 x 64 MiB files'],
    ];
    const growth = {};
    for (const [set, count, label] of runs) {
      const native = child(ctx, set, count, 'native');
      const plain = child(ctx, set, count, 'js-result');
      growth[`${set}-${count}`] = { native: native.growth, plain: plain.growth };
      rows.push(
        row({
          id: `batchFileHash-rss-${set}-${count}`,
          group: 'batch',
          kind: 'info',
          title: `batchFileHash peak RSS growth, ${label}`,
          oursText: `+${formatBytes(native.growth)}`,
          peerText: `+${formatBytes(plain.growth)} (same result built in JS)`,
          note: `beyond the result: ${formatBytes(native.growth - plain.growth)} (peak from ${native.method})`,
          native,
          plain,
          beyondResult: native.growth - plain.growth,
        }),
      );
    }
    // What each extra file costs at the peak, with and without the native
    // call: equal slopes mean the call keeps nothing per file but the result.
    const few = growth['small-2000'];
    const many = growth['small-20000'];
    const slope = (a, b) => (b - a) / 18000;
    rows.push(
      row({
        id: 'batchFileHash-rss-per-file',
        group: 'batch',
        kind: 'info',
        title: 'batchFileHash peak RSS per extra small file',
        oursText: `${slope(few.native, many.native).toFixed(0)} B/file`,
        peerText: `${slope(few.plain, many.plain).toFixed(0)} B/file (result built in JS)`,
        note: 'from the 2,000- and 20,000-file runs; the files average about 3.8 KiB',
      }),
    );
    return rows;
  },
};

module.exports = [
  batchCase('batchFileHash-20k', 'small', 'batchFileHash, 20,000 files of 0.25-16 KiB', 4, {
    sampleMs: 100,
    rounds: 9,
  }),
  batchCase(
    'batchFileHash-8x64MiB',
    'large',
    'batchFileHash, 8 files of 64 MiB',
    8,
    { sampleMs: 100, rounds: 7 },
    againstOpenssl,
  ),
  memoryCase,
];
