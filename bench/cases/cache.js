'use strict';
// The content cache of the tree commands on the Linux 6.1 sources (the tree
// bench's fixture, when it is there; else a generated tree of 80,000 files):
// an unchanged re-run against `git status`, which keeps the same metadata in
// its index; a re-run after 100 files changed; a first run that fills an
// empty cache against a run without one; and the cache's size per entry.
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { row } = require('../lib/report');
const { speedup } = require('../lib/case');

const CACHE = process.env.TOV_BENCH_CACHE || path.join(os.homedir(), '.cache', 'tov-engine-bench');
const CLI = path.join(__dirname, '..', '..', 'bin', 'tov-engine.js');
const TIMING = { rounds: 7, sampleMs: 1, warmupMs: 1 };

function sh(script, env = {}) {
  const r = spawnSync('/bin/sh', ['-c', script], { stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8', env: { ...process.env, ...env } });
  if (r.status !== 0) throw new Error(`${script}: exit ${r.status}: ${r.stderr.trim().split('\n').at(-1)}`);
}

// 80,000 files of 0.5 to 32 KiB in 800 directories, a stand-in of the Linux
// sources' shape where they are not extracted.
function generatedTree() {
  const dir = path.join(CACHE, 'generated-80k');
  if (fs.existsSync(`${dir}.complete`)) return dir;
  fs.rmSync(dir, { recursive: true, force: true });
  process.stderr.write(`  writing 80,000 files into ${dir} ...\n`);
  for (let d = 0; d < 800; d++) {
    const sub = path.join(dir, `d${d}`);
    fs.mkdirSync(sub, { recursive: true });
    for (let f = 0; f < 100; f++) {
      const n = d * 100 + f;
      fs.writeFileSync(path.join(sub, `f${f}.c`), Buffer.alloc(512 + ((n * 7919) % 32256), n & 0xff));
    }
  }
  fs.writeFileSync(`${dir}.complete`, '');
  return dir;
}

function fixture() {
  const linux = path.join(CACHE, 'linux-source-6.1');
  if (fs.existsSync(`${linux}.complete`)) return { dir: linux, name: 'Linux 6.1 sources' };
  return { dir: generatedTree(), name: '80,000 generated files (Linux sources not extracted; run the tree bench first)' };
}

// git's index lives outside the tree, so the tree stays the tree bench's.
function gitIndex(dir) {
  const gitDir = `${dir}.git`;
  const env = { GIT_DIR: gitDir, GIT_WORK_TREE: dir };
  if (!fs.existsSync(`${gitDir}.complete`)) {
    fs.rmSync(gitDir, { recursive: true, force: true });
    process.stderr.write(`  git init and add -A -f in ${gitDir} ...\n`);
    sh('git init -q && git add -A -f', env);
    fs.writeFileSync(`${gitDir}.complete`, '');
  }
  sh('git status --porcelain -uno', env); // refreshes the index's racy entries once
  return env;
}

function manifest(dir, location) {
  const args = [CLI, 'manifest', dir, '-q'];
  if (location) args.push('--cache-location', location);
  return () => execFileSync(process.execPath, args, { stdio: ['ignore', 'ignore', 'inherit'], maxBuffer: 1 << 30 });
}

// Rewrites `count` files with their own bytes: their metadata moves, the
// tree stays as it was.
function touchFiles(dir, count) {
  const files = [];
  const stack = [dir];
  while (files.length < count && stack.length > 0) {
    const d = stack.pop();
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name);
      if (e.isDirectory()) stack.push(p);
      else if (e.isFile() && files.length < count) files.push(p);
    }
  }
  return () => {
    for (const f of files) fs.writeFileSync(f, fs.readFileSync(f));
  };
}

module.exports = [
  {
    id: 'cache-tree',
    group: 'cache',
    title: 'tov-engine manifest --cache',
    async run(ctx) {
      const { dir, name } = fixture();
      const location = path.join(CACHE, 'bench-manifest.cache');
      const warm = manifest(dir, location);
      warm();
      warm();
      const env = gitIndex(dir);
      const rows = await speedup(ctx, {
        id: 'cache-unchanged-vs-git',
        group: 'cache',
        title: `${name}: unchanged re-run with the cache`,
        timing: TIMING,
        target: 1.0,
        peerDescription: 'git status --porcelain -uno',
        note: 'ratio = git time / ours',
        sides: { ours: warm, git: () => sh('git status --porcelain -uno', env) },
      });

      const touch = touchFiles(dir, 100);
      rows.push(
        ...(await speedup(ctx, {
          id: 'cache-100-modified',
          group: 'cache',
          title: `${name}: re-run after 100 files changed`,
          timing: TIMING,
          target: 1 / 1.2,
          peerDescription: 'the unchanged re-run',
          note: 'ratio = unchanged re-run time / ours (target: at most 1.2x)',
          sides: {
            ours: () => {
              touch();
              warm();
            },
            unchanged: warm,
          },
        })),
      );

      const empty = path.join(CACHE, 'bench-empty.cache');
      rows.push(
        ...(await speedup(ctx, {
          id: 'cache-first-run',
          group: 'cache',
          title: `${name}: first run, empty cache`,
          timing: { rounds: 5, sampleMs: 1, warmupMs: 1 },
          target: 1 / 1.1,
          peerDescription: 'tov-engine manifest without --cache',
          note: 'ratio = time without a cache / ours (target: at most 1.1x)',
          sides: {
            ours: () => {
              fs.rmSync(empty, { force: true });
              manifest(dir, empty)();
            },
            plain: manifest(dir, null),
          },
        })),
      );

      warm();
      const { decode, rootBytesOf } = require('../../lib/tree/cache.js');
      const bytes = fs.statSync(location).size;
      const entries = decode(fs.readFileSync(location), rootBytesOf(dir)).count;
      rows.push(
        row({
          id: 'cache-size',
          group: 'cache',
          kind: 'info',
          title: `${name}: cache file size per entry`,
          oursText: `${(bytes / entries).toFixed(1)} B`,
          peerText: '-',
          note: `${entries} entries, ${(bytes / 1e6).toFixed(2)} MB`,
        }),
      );
      return rows;
    },
  },
];
