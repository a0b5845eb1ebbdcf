'use strict';
// The --gitignore and --exclude selection against git's own: random
// repositories, then the disagreements found before, one by one.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { walkDirectory } = require('../../lib/tree/walk');
const { randomRepository, gitSelection, gitEnvironment } = require('../support/random-repo');
const { makeTempDir, removeTempDir, makeRandom } = require('../support');

const NO_GIT = spawnSync('git', ['--version']).status !== 0 && 'git is not installed';

let tmp;
let savedEnv;
before(() => {
  tmp = makeTempDir('gitignore');
  savedEnv = { ...process.env };
  // The walk asks git too: both see the same configuration, none of the user's.
  Object.assign(process.env, gitEnvironment(path.join(tmp, 'home')));
});
after(() => {
  process.env = savedEnv;
  removeTempDir(tmp);
});

function walk(dir, options = {}) {
  const skipped = [];
  const files = walkDirectory({ path: dir, display: '' }, { gitignore: true, ...options }, (p, reason, failed) => skipped.push({ path: p, reason, failed }), () => {});
  return { files: files.map((f) => f.display).sort(), skipped };
}

describe('--gitignore selects what git ls-files --cached --others --exclude-standard lists', { skip: NO_GIT }, () => {
  it('in random repositories', () => {
    const seed = Number(process.env.TOV_GITIGNORE_SEED) || 20261210;
    const count = Number(process.env.TOV_GITIGNORE_REPOS) || 150;
    const rnd = makeRandom(seed);
    for (let i = 0; i < count; i++) {
      const dir = path.join(tmp, `r${i}`);
      const expected = randomRepository(rnd, dir, process.env);
      assert.deepEqual(walk(dir).files, expected, `repository ${i} of seed ${seed} (${dir})`);
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
