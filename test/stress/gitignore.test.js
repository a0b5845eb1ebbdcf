'use strict';
// The --gitignore selection against git's on many more random repositories
// than npm test builds, with a new seed each run (TOV_STRESS_SEED repeats one).
const test = require('node:test');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { walkDirectory } = require('../../lib/tree/walk');
const { compareWithGit, gitEnvironment } = require('../support/random-repo');
const { makeTempDir, removeTempDir, makeRandom, seedFromEnv } = require('../support');

const NO_GIT = spawnSync('git', ['--version']).status !== 0 && 'git is not installed';

test('1,000 random repositories select what git lists', { skip: NO_GIT }, (t) => {
  const dir = makeTempDir('stress-gitignore');
  const saved = { ...process.env };
  t.after(() => {
    process.env = saved;
    removeTempDir(dir);
  });
  Object.assign(process.env, gitEnvironment(path.join(dir, 'home')));
  const walk = (repo) => walkDirectory({ path: repo, display: '' }, { gitignore: true }, () => {}, () => {}).map((f) => f.display).sort();
  compareWithGit(makeRandom(seedFromEnv()), dir, 1000, walk);
});
