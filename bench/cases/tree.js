'use strict';
// Whole trees: `tov-engine manifest` and hashTree over the Linux 6.1 sources
// against the usual shell pipelines, and against a bare batchFileHash over
// the same file list (what the tree engine adds on top of hashing).
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { formatBytes, row } = require('../lib/report');
const { sameAnswer, speedup } = require('../lib/case');
const { summarize } = require('../lib/measure');

const CACHE = process.env.TOV_BENCH_CACHE || path.join(os.homedir(), '.cache', 'tov-engine-bench');
const TARBALL = '/usr/src/linux-source-6.1.tar.xz';
const CLI = path.join(__dirname, '..', '..', 'bin', 'tov-engine.js');
const CORES = os.availableParallelism();

function sh(script, cwd) {
  const r = spawnSync('/bin/sh', ['-c', script], { cwd, stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`${script}: exit ${r.status}: ${r.stderr.trim().split('\n').at(-1)}`);
}

function have(command) {
  return spawnSync('/bin/sh', ['-c', `command -v ${command}`], { stdio: 'ignore' }).status === 0;
}

// Installs Debian packages the bench needs, when it may; true when present.
function ensurePackage(pkg, present) {
  if (present()) return true;
  if (process.getuid?.() !== 0) return false;
  spawnSync('apt-get', ['install', '-y', '-q', pkg], { stdio: 'ignore' });
  return present();
}

// The extracted sources, cached outside the repository; null with a reason.
function linuxTree() {
  const dir = path.join(CACHE, 'linux-source-6.1');
  // The mark sits beside the tree, not in it, so the tree is the package's.
  const complete = `${dir}.complete`;
  if (fs.existsSync(complete)) return { dir };
  if (!ensurePackage('linux-source-6.1', () => fs.existsSync(TARBALL))) {
    return { error: `${TARBALL} missing and apt-get install linux-source-6.1 not possible here` };
  }
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  process.stderr.write(`  extracting ${TARBALL} into ${dir} ...\n`);
  sh(`tar -xJf ${TARBALL} --strip-components=1 -C '${dir}'`);
  fs.writeFileSync(complete, '');
  return { dir };
}

// 1,000,000 files of 1 KiB in 1,000 directories.
function millionTree() {
  const dir = path.join(CACHE, 'million');
  const complete = `${dir}.complete`;
  if (fs.existsSync(complete)) return { dir };
  fs.rmSync(dir, { recursive: true, force: true });
  process.stderr.write(`  writing 1,000,000 files into ${dir} ...\n`);
  const body = Buffer.alloc(1024);
  for (let d = 0; d < 1000; d++) {
    const sub = path.join(dir, `d${d}`);
    fs.mkdirSync(sub, { recursive: true });
    for (let f = 0; f < 1000; f++) {
      body.writeUInt32LE(d * 1000 + f, 0);
      fs.writeFileSync(path.join(sub, `f${f}`), body);
    }
  }
  fs.writeFileSync(complete, '');
  return { dir };
}

function manifestCommand(dir) {
  return () => execFileSync(process.execPath, [CLI, 'manifest', dir, '-q'], { stdio: ['ignore', 'ignore', 'inherit'] });
}

const PEERS = {
  sha256sum: {
    script: `find . -type f -print0 | xargs -0 -P${CORES} sha256sum`,
    available: () => true,
    target: 4.5,
  },
  rhash: { script: 'rhash -r --sha256 .', available: () => ensurePackage('rhash', () => have('rhash')), target: 2.5 },
  b3sum: {
    script: `find . -type f -print0 | xargs -0 -P${CORES} b3sum`,
    available: () => ensurePackage('b3sum', () => have('b3sum')),
    target: 1.0,
  },
};

function skipRow(id, title, note) {
  return row({ id, group: 'tree', kind: 'info', title, oursText: '-', peerText: '-', note });
}

// The tree's files as hashTree lists them, by absolute path.
async function fileList(dir) {
  const { hashTree } = require('../../lib/tree/index.js');
  const { manifest } = await hashTree(dir);
  return { manifest, paths: manifest.map(([p]) => path.join(dir, p)) };
}

async function againstBatch(ctx, id, dir, title, withCli = true) {
  const { hashTree } = require('../../lib/tree/index.js');
  const { manifest, paths } = await fileList(dir);
  sameAnswer(`${id}: digests`, ctx.native.batchFileHash(paths).map(([, d]) => d), manifest.map(([, d]) => d));
  const timing = { rounds: 7, sampleMs: 1, warmupMs: 1, isAsync: true };
  const note = `${paths.length} files; ratio = batchFileHash time / ours (1.25x slower is 0.8x)`;
  const batch = async () => ctx.native.batchFileHash(paths);
  const rows = await speedup(ctx, {
    id,
    group: 'tree',
    title,
    timing,
    note,
    target: 0.8,
    peerDescription: 'batchFileHash(list), one call',
    sides: { ours: () => hashTree(dir), batch },
  });
  if (withCli) {
    rows.push(
      ...(await speedup(ctx, {
        id: `${id}-cli`,
        group: 'tree',
        title: `${title.split(':')[0]}: tov-engine manifest`,
        timing,
        note,
        target: 0.8,
        peerDescription: 'batchFileHash(list), one call',
        sides: { ours: async () => manifestCommand(dir)(), batch },
      })),
    );
    // `check` reads the manifest back and hashes the files it lists.
    const listed = path.join(os.tmpdir(), `tov-bench-manifest-${process.pid}.txt`);
    fs.writeFileSync(listed, execFileSync(process.execPath, [CLI, 'manifest', dir, '-q'], { maxBuffer: 1 << 30 }));
    try {
      rows.push(
        ...(await speedup(ctx, {
          id: `${id}-check`,
          group: 'tree',
          title: `${title.split(':')[0]}: tov-engine check`,
          timing,
          note,
          target: 0.8,
          peerDescription: 'batchFileHash(list), one call',
          sides: {
            ours: async () => execFileSync(process.execPath, [CLI, 'check', listed, '--quiet'], { stdio: ['ignore', 'ignore', 'inherit'] }),
            batch,
          },
        })),
      );
    } finally {
      fs.rmSync(listed, { force: true });
    }
  }
  return rows;
}

// Peak resident memory of one `tov-engine manifest` run (its worker threads
// included), against what the issue allows: twice the manifest's text plus
// 100 MB. The child reports its own peak as it exits: on Linux the high-water
// mark of its memory since its exec (VmHWM), since getrusage's maxRSS of a
// forked child starts from what its parent held, here the bench's own
// hundreds of MB after the timed rounds.
function manifestPeak(dir, manifest) {
  const report = path.join(os.tmpdir(), `tov-bench-peak-${process.pid}`);
  const peak = `(() => { try { const m = /VmHWM:\\s*(\\d+) kB/.exec(require('fs').readFileSync('/proc/self/status', 'utf8')); if (m) return Number(m[1]) * 1024; } catch {} return process.resourceUsage().maxRSS * 1024; })()`;
  const preload = `process.on('exit', () => require('fs').writeFileSync(${JSON.stringify(report)}, String(${peak})))`;
  execFileSync(process.execPath, ['--eval', `${preload}; process.argv.splice(1, 0, ${JSON.stringify(CLI)}); require(${JSON.stringify(CLI)})`, '--', 'manifest', dir, '-q'], {
    stdio: ['ignore', 'ignore', 'inherit'],
  });
  const peakBytes = Number(fs.readFileSync(report, 'utf8'));
  fs.rmSync(report, { force: true });
  let text = 0;
  for (const [p] of manifest) text += Buffer.byteLength(p) + 67;
  const allowed = 2 * text + 100 * 1024 * 1024;
  return row({
    id: 'tree-million-rss',
    group: 'tree',
    title: '1,000,000 files: tov-engine manifest peak RSS',
    oursText: formatBytes(peakBytes),
    peerText: `${formatBytes(allowed)} allowed`,
    ratio: allowed / peakBytes,
    target: 1,
    note: `manifest text ${formatBytes(text)}; allowed = 2 x text + 100 MB; ratio = allowed / peak`,
  });
}

// One timed command with a cold page cache, median of `runs`.
function coldTime(fn, runs = 3) {
  const times = [];
  for (let i = 0; i < runs; i++) {
    sh('sync');
    fs.writeFileSync('/proc/sys/vm/drop_caches', '1');
    const start = process.hrtime.bigint();
    fn();
    times.push(Number(process.hrtime.bigint() - start));
  }
  return summarize(times).median;
}

function canDropCaches() {
  try {
    fs.writeFileSync('/proc/sys/vm/drop_caches', '1');
    return true;
  } catch {
    return false;
  }
}

module.exports = [
  {
    id: 'tree-linux',
    group: 'tree',
    title: 'Linux 6.1 sources: tov-engine manifest',
    async run(ctx) {
      const tree = linuxTree();
      if (tree.error) return [skipRow('tree-linux', this.title, tree.error)];
      const { dir } = tree;
      const sides = { ours: manifestCommand(dir) };
      const peers = {};
      const skipped = [];
      for (const [name, peer] of Object.entries(PEERS)) {
        if (!peer.available()) {
          skipped.push(skipRow(`tree-linux-${name}`, `${this.title} vs ${name}`, `${name} not installed and not installable here`));
          continue;
        }
        sides[name] = () => sh(peer.script, dir);
        peers[name] = { id: `tree-linux-${name}`, title: `${this.title} vs ${name}`, description: peer.script, target: peer.target };
      }
      const rows = await speedup(ctx, { group: 'tree', timing: { rounds: 7, sampleMs: 1, warmupMs: 1 }, peers, sides });
      rows.push(...skipped);
      rows.push(...(await againstBatch(ctx, 'tree-linux-hashTree', dir, 'Linux 6.1 sources: hashTree')));
      return rows;
    },
  },
  {
    id: 'tree-linux-cold',
    group: 'tree',
    title: 'Linux 6.1 sources, cold cache: tov-engine manifest',
    async run(ctx) {
      if (!canDropCaches()) {
        return [skipRow(this.id, this.title, '/proc/sys/vm/drop_caches is not writable here: no cold-cache figures')];
      }
      const tree = linuxTree();
      if (tree.error) return [skipRow(this.id, this.title, tree.error)];
      const ours = coldTime(manifestCommand(tree.dir));
      const cat = coldTime(() => sh('find . -type f -print0 | xargs -0 -P32 cat > /dev/null', tree.dir));
      return [
        row({
          id: this.id,
          group: 'tree',
          title: this.title,
          oursText: `${(ours / 1e9).toFixed(2)} s`,
          peerText: `${(cat / 1e9).toFixed(2)} s`,
          ratio: cat / ours,
          target: 1 / 1.2,
          peerName: 'find | xargs -0 -P32 cat',
          note: 'median of 3 runs each after sync and drop_caches; ratio = cat time / ours',
        }),
      ];
    },
  },
  {
    id: 'tree-million',
    group: 'tree',
    long: true,
    title: '1,000,000 files of 1 KiB: hashTree',
    async run(ctx) {
      const { dir } = millionTree();
      const rows = await againstBatch(ctx, this.id, dir, this.title);
      rows.push(manifestPeak(dir, (await fileList(dir)).manifest));
      return rows;
    },
  },
];
