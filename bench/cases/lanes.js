'use strict';
// The multi-buffer SHA-256 kernels one core at a time, lane count by lane
// count, against one `openssl speed` process measured in the same run; and
// the command line's manifest of a real tree against sha256sum run on every
// core.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { opensslSha256Limit } = require('../lib/machine');
const { formatRate, row } = require('../lib/report');
const { sameAnswer, speedup } = require('../lib/case');

const ROOT = path.join(__dirname, '..', '..');
const CLI = path.join(ROOT, 'bin', 'tov-engine.js');

function laneSpeeds(rounds) {
  const binary = path.join(ROOT, 'build', process.platform === 'win32' ? 'lane_speeds.exe' : 'lane_speeds');
  if (!fs.existsSync(binary)) return { error: `${path.relative(ROOT, binary)} is not built` };
  const run = spawnSync(binary, [String(rounds)], { encoding: 'utf8', timeout: 120000 });
  if (run.error || run.status !== 0) return { error: `lane_speeds failed: ${run.error || run.stderr}` };
  return JSON.parse(run.stdout);
}

const lanesCase = {
  id: 'sha256-lanes',
  group: 'lanes',
  title: 'SHA-256 lanes, per core',
  async run(ctx) {
    const speeds = laneSpeeds(ctx.options.quick ? 30 : 300);
    const seconds = ctx.options.quick ? 1 : 2;
    const runs = [opensslSha256Limit(1, seconds), opensslSha256Limit(1, seconds)];
    const single = runs.filter((r) => !r.error).sort((a, b) => b.bytesPerSecond - a.bytesPerSecond)[0];
    if (speeds.error) {
      return [row({ id: 'sha256-lanes', group: 'lanes', kind: 'info', title: 'SHA-256 lanes', oursText: 'n/a', peerText: '', note: speeds.error })];
    }
    // The rows of the speed table that the batch's lane plan is chosen from
    // (src/hashing/multi_digest.cc), measured on this machine.
    if (speeds.table) process.stderr.write(`lane speed table rows for this machine:\n${speeds.table}`);
    const peerText = single ? `${formatRate(single.bytesPerSecond)} (openssl speed, 1 process)` : 'n/a';
    const spans = [];
    const kernelFor = speeds.chosen.kernelFor;
    for (let n = 1; n <= kernelFor.length; n++) {
      const last = spans[spans.length - 1];
      if (last && last.kernel === kernelFor[n - 1]) last.to = n;
      else spans.push({ kernel: kernelFor[n - 1], from: n, to: n });
    }
    const plan = row({
      id: 'sha256-lanes-plan',
      group: 'lanes',
      kind: 'info',
      title: 'SHA-256 lanes: kernel by live lanes',
      oursText: spans.map((r) => `${r.from === r.to ? r.from : `${r.from}-${r.to}`}: ${r.kernel}`).join(', '),
      peerText: '',
      note: `up to ${speeds.chosen.lanes} lanes in flight per worker, from the fixed speed table`,
    });
    return [plan, ...speeds.speeds.map((s) =>
      row({
        id: `sha256-lanes-${s.kernel}-x${s.lanes}`,
        group: 'lanes',
        kind: 'info',
        title: `SHA-256 ${s.kernel} x${s.lanes}, per core`,
        oursText: formatRate(s.bytesPerSecond),
        peerText,
        ratio: single ? s.bytesPerSecond / single.bytesPerSecond : NaN,
        note: 'in-cache blocks, best of many rounds; openssl best of 2 runs of 16 KiB blocks',
        bytesPerSecond: s.bytesPerSecond,
      }),
    )];
  },
};

// A tree of thousands of real files that every such machine has; the
// project's own dependencies where it does not.
function realTree() {
  for (const candidate of ['/usr/include', path.join(ROOT, 'node_modules')]) {
    try {
      if (fs.statSync(candidate).isDirectory()) return candidate;
    } catch {
      // try the next one
    }
  }
  return null;
}

function sortedLines(text) {
  return text
    .split('\n')
    .filter((line) => line !== '' && !line.startsWith('#'))
    .sort();
}

const manifestCliCase = {
  id: 'cli-manifest-tree',
  group: 'lanes',
  title: 'tov-engine manifest of a source tree',
  async run(ctx) {
    const tree = realTree();
    const jobs = ctx.machine.cores;
    if (!tree) {
      return [row({ id: 'cli-manifest-tree', group: 'lanes', kind: 'info', title: this.title, oursText: 'n/a', peerText: '', note: 'no tree found' })];
    }
    const cwd = path.dirname(tree);
    const name = path.basename(tree);
    const ours = () =>
      spawnSync(process.execPath, [CLI, 'manifest', '--all', '--follow', '-q', name], { cwd, encoding: 'utf8', maxBuffer: 1 << 30 }).stdout;
    const peer = () =>
      spawnSync('sh', ['-c', `find -L ${name} -type f -print0 | xargs -0 -P${jobs} sha256sum`], {
        cwd,
        encoding: 'utf8',
        maxBuffer: 1 << 30,
      }).stdout;
    const oursLines = sortedLines(ours());
    sameAnswer('cli-manifest-tree', oursLines, sortedLines(peer()));
    let bytes = 0;
    for (const line of oursLines) bytes += fs.statSync(path.join(cwd, line.slice(66))).size;
    return speedup(ctx, {
      title: `tov-engine manifest, ${oursLines.length} files of ${tree}`,
      bytes,
      target: 1,
      timing: { sampleMs: 1, rounds: 7, warmupMs: 1 },
      peerDescription: `find -L -type f -print0 | xargs -0 -P${jobs} sha256sum`,
      sides: { ours, peer },
    });
  },
};

module.exports = [lanesCase, manifestCliCase];
