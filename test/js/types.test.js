'use strict';
// The TypeScript declarations: real usage compiles, wrong usage does not,
// and the declared functions are the ones the addon exports.

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { makeTempDir, removeTempDir } = require('../support');

const root = path.join(__dirname, '..', '..');
const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
const skip = !fs.existsSync(tsc) && 'typescript is not installed (npm install adds it as a devDependency)';
if (skip) console.log(`# skipping the type tests: ${skip}`);

function compile(args, cwd = root) {
  const r = spawnSync(process.execPath, [tsc, ...args], { cwd, encoding: 'utf8' });
  return { status: r.status, output: r.stdout + r.stderr };
}

describe('type declarations', { skip }, () => {
  it('compile real usage, and every @ts-expect-error is an error', () => {
    const r = compile(['-p', path.join('test', 'types', 'tsconfig.json')]);
    assert.equal(r.status, 0, r.output);
  });

  it('reject a wrong type', () => {
    const dir = makeTempDir('types');
    try {
      const target = JSON.stringify(path.join(root, 'index.js'));
      fs.writeFileSync(
        path.join(dir, 'wrong.ts'),
        `import { fileHash, merkleDiff } from ${target};\n` +
          `const digest: string = fileHash('x');\n` +
          `const list: number[] = merkleDiff([], []).added;\n` +
          `export { digest, list };\n`,
      );
      const options = { strict: true, noEmit: true, module: 'node16', target: 'es2022', lib: ['es2022'], types: [] };
      fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({ compilerOptions: options, files: ['wrong.ts'] }));
      const r = compile(['-p', 'tsconfig.json'], dir);
      assert.notEqual(r.status, 0);
      assert.match(r.output, /wrong\.ts\(2,7\): error TS2322: Type 'Promise<string>' is not assignable to type 'string'/);
      assert.match(r.output, /wrong\.ts\(3,7\): error TS2322: Type 'string\[\]' is not assignable to type 'number\[\]'/);
    } finally {
      removeTempDir(dir);
    }
  });

  it('declare exactly the functions the addon exports, in its order', () => {
    const declared = [...fs.readFileSync(path.join(root, 'index.d.ts'), 'utf8').matchAll(/^export function (\w+)\(/gm)]
      .map((m) => m[1]);
    assert.deepEqual(declared, Object.keys(require('../..')));
  });
});
