'use strict';
// The command where scripts and careless hands meet it: output files that
// must survive failures and signals, endless inputs, misleading messages,
// and round trips on subdirectories.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { makeTempDir, removeTempDir, WINDOWS, RUN_SCRIPT, sha256Hex } = require('../support');

const root = path.join(__dirname, '..', '..');
const bin = path.join(root, 'bin', 'tov-engine.js');
const POSIX = WINDOWS && 'shell idioms, device files and signals of POSIX systems';
const hasSha256sum = spawnSync('sha256sum', ['--version']).status === 0;
const DENO = Boolean(process.versions.deno);

function run(args, { cwd, input = '', encoding = 'utf8' } = {}) {
  const r = spawnSync(process.execPath, [bin, ...args], { cwd, input, encoding, timeout: 60000 });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr, signal: r.signal };
}

// In the environment, not the arguments: Deno rewrites an argument that
// names its own executable into a `run` command line.
const TOV_ENV = { ...process.env, TOV: [process.execPath, ...RUN_SCRIPT, bin].join(' ') };

// Through a shell: redirections and limits the way a user sets them.
function sh(script, cwd) {
  const r = spawnSync('sh', ['-c', script], { cwd, encoding: 'utf8', env: TOV_ENV, timeout: 60000 });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr };
}

function write(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

const oneLine = (r, pattern) => {
  assert.equal(r.status, 2, r.stderr);
  assert.match(r.stderr, /^tov-engine: [^\n]+\n$/);
  assert.match(r.stderr, pattern);
};

let tmp;
before(() => {
  tmp = makeTempDir('cli-edges');
  for (let i = 0; i < 40; i++) write(path.join(tmp, 'proj', 'src', `file-${i}.js`), `export const n = ${i};\n`);
  write(path.join(tmp, 'proj', 'README'), 'read me\n');
});
after(() => removeTempDir(tmp));

describe('manifest -o keeps the old file whatever happens', { skip: POSIX }, () => {
  const dirOf = () => path.join(tmp, 'proj');
  const leftovers = () => fs.readdirSync(dirOf()).filter((n) => n.endsWith('.tmp'));

  it('under a file-size limit: the old manifest stays, the error is the system text, no temporary file', {
    skip: DENO && 'Deno leaves SIGXFSZ at its default, so the write past the limit kills the process instead of failing',
  }, () => {
    write(path.join(dirOf(), 'MANIFEST'), 'old contents\n');
    // 1 KiB blocks: the 41-line manifest needs more than two.
    const r = sh('ulimit -f 2 && $TOV manifest -o MANIFEST .', dirOf());
    assert.equal(r.status, 2, r.stderr);
    assert.equal(r.stderr, 'tov-engine: MANIFEST: File too large\n');
    assert.equal(fs.readFileSync(path.join(dirOf(), 'MANIFEST'), 'utf8'), 'old contents\n');
    assert.deepEqual(leftovers(), []);
  });

  it('on /dev/full: says the disk is full, not how the write was set up', () => {
    oneLine(run(['manifest', '-o', '/dev/full', 'src'], { cwd: dirOf() }), /^tov-engine: \/dev\/full: No space left on device\n$/);
  });

  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    it(`on ${signal}: ends by the signal, the old manifest stays, no temporary file`, async () => {
      write(path.join(dirOf(), 'MANIFEST'), 'old contents\n');
      const fifo = path.join(tmp, `list-${signal}`);
      assert.equal(spawnSync('mkfifo', [fifo]).status, 0);
      // The list never ends, so the run is held with its output open.
      const child = spawn(process.execPath, [bin, 'manifest', '-o', 'MANIFEST', '--files-from', fifo], { cwd: dirOf() });
      const writer = fs.openSync(fifo, 'w');
      fs.writeSync(writer, 'README\n');
      for (let i = 0; i < 200 && leftovers().length === 0; i++) await new Promise((r) => setTimeout(r, 25));
      assert.equal(leftovers().length, 1, 'the temporary file exists while the run is held');
      const ended = new Promise((resolve) => child.on('exit', (code, sig) => resolve({ code, sig })));
      child.kill(signal);
      assert.deepEqual(await ended, { code: null, sig: signal });
      fs.closeSync(writer);
      assert.equal(fs.readFileSync(path.join(dirOf(), 'MANIFEST'), 'utf8'), 'old contents\n');
      assert.deepEqual(leftovers(), []);
    });
  }

  it('keeps the mode of the file it replaces and writes through a link to it', () => {
    const target = path.join(tmp, 'kept.sha256');
    write(target, 'old\n');
    fs.chmodSync(target, 0o640);
    fs.symlinkSync(target, path.join(tmp, 'link.sha256'));
    assert.equal(run(['manifest', '-q', '-o', path.join(tmp, 'link.sha256'), 'README'], { cwd: dirOf() }).status, 0);
    assert.ok(fs.lstatSync(path.join(tmp, 'link.sha256')).isSymbolicLink());
    assert.equal(fs.statSync(target).mode & 0o777, 0o640);
    assert.match(fs.readFileSync(target, 'utf8'), /^[0-9a-f]{64} {2}README\n# root: /);
  });
});

describe('endless inputs end at once with one line', { skip: POSIX }, () => {
  it('check, diff and --files-from on /dev/zero', () => {
    for (const args of [['check', '/dev/zero'], ['diff', '/dev/zero', '.'], ['manifest', '--files-from', '/dev/zero']]) {
      oneLine(run(args, { cwd: path.join(tmp, 'proj') }), /\/dev\/zero: line 1 is longer than 1048576 bytes/);
    }
    oneLine(run(['manifest', '--files-from', '/dev/zero', '-0'], { cwd: tmp }), /\/dev\/zero: more than 1048576 empty names in a row/);
  });

  it('a long manifest on standard input is read line by line', () => {
    const lines = [];
    for (let i = 0; i < 40; i++) lines.push(`${sha256Hex(`export const n = ${i};\n`)}  src/file-${i}.js`);
    // Split pieces and CRLF ends must not matter.
    const r = run(['check', '--quiet', '-'], { cwd: path.join(tmp, 'proj'), input: `\ufeff${lines.join('\r\n')}\r\n` });
    assert.deepEqual(r, { status: 0, stdout: '', stderr: '', signal: null });
  });
});

describe('messages that say what is true', { skip: POSIX }, () => {
  it('the hint for a value starting with - names the long form', () => {
    oneLine(run(['manifest', '-o', '-x'], { cwd: tmp }), /write --output=VALUE for a value that starts with '-'/);
    oneLine(run(['check', '-C', '-x', 'm'], { cwd: tmp }), /write --directory=VALUE/);
  });

  it('check never prints a NUL byte', () => {
    write(path.join(tmp, 'nul.sha256'), `${sha256Hex('')}  a\0b\n`);
    const r = run(['check', 'nul.sha256'], { cwd: tmp, encoding: 'buffer' });
    assert.equal(r.status, 1);
    assert.equal(r.stdout.indexOf(0), -1);
    assert.equal(r.stderr.indexOf(0), -1);
    assert.equal(r.stdout.toString(), '\\a\\0b: FAILED open or read\n');
  });

  it('an existing name that is not UTF-8, given as an argument, is found', {
    skip: (process.platform !== 'linux' && 'argument bytes come from /proc') ||
      (DENO && "Deno's fs decodes a path given as bytes, so a name that is not UTF-8 cannot be opened"),
  }, () => {
    const name = Buffer.from([0x63, 0x61, 0x66, 0xe9]);
    const dir = path.join(tmp, 'bytes');
    fs.mkdirSync(dir);
    fs.writeFileSync(Buffer.concat([Buffer.from(`${dir}/`), name]), 'x');
    // Node can pass only UTF-8 arguments; the shell passes the bytes.
    const r = spawnSync('sh', ['-c', `$TOV manifest "$(printf 'caf\\351')"`], { cwd: dir, env: TOV_ENV });
    assert.equal(r.status, 0, String(r.stderr));
    assert.deepEqual(r.stdout.subarray(0, 71), Buffer.concat([Buffer.from(`${sha256Hex('x')}  `), name, Buffer.from('\n')]));
  });

  it('a thread the system refuses is named with what was being done', () => {
    // Node reports a worker that could not start by the bare errno name.
    // Exclude patterns take the walk that runs in a worker.
    const script = `
      const wt = require('node:worker_threads');
      wt.Worker = class { constructor() { throw Object.assign(new Error('EAGAIN'), { code: 'ERR_WORKER_INIT_FAILED' }); } };
      const chunks = [];
      const stderr = { write: (s) => chunks.push(s) };
      require(${JSON.stringify(path.join(root, 'lib', 'cli', 'main.js'))}).main(['manifest', '--exclude', 'none', '.'], { stderr, stdout: { write() {} } })
        .then((status) => console.log(status, chunks.join('')));`;
    const r = spawnSync(process.execPath, ['-e', script], { cwd: tmp, encoding: 'utf8' });
    assert.equal(r.stdout, '2 tov-engine: hashing files: could not start a thread: Resource temporarily unavailable (EAGAIN)\n\n');
  });
});

describe('check reads a long manifest while it hashes', { skip: POSIX }, () => {
  // Over two read chunks, so that some entries are checked before the rest
  // has been parsed.
  const lines = [];
  before(() => {
    const listed = run(['manifest', '-q', 'src'], { cwd: path.join(tmp, 'proj') }).stdout.split('\n').filter((l) => /^[0-9a-f]/.test(l));
    while (lines.length < 30000) lines.push(...listed);
  });

  it('reports every entry in manifest order, whatever block checked it', () => {
    const bad = [...lines];
    bad[1] = `${'0'.repeat(64)}  ${bad[1].slice(66)}`;
    bad[25000] = `${'0'.repeat(64)}  ${bad[25000].slice(66)}`;
    bad[29999] = `${bad[29999].slice(0, 66)}src/gone.js`;
    write(path.join(tmp, 'long.sha256'), `${bad.join('\n')}\n`);
    const r = run(['check', path.join(tmp, 'long.sha256')], { cwd: path.join(tmp, 'proj') });
    assert.equal(r.status, 1);
    const out = r.stdout.split('\n');
    assert.equal(out.length, 30001);
    assert.deepEqual(
      out.flatMap((l, i) => (l.endsWith(': OK') ? [] : [[i, l]])),
      [[1, `${bad[1].slice(66)}: FAILED`], [25000, `${bad[25000].slice(66)}: FAILED`], [29999, 'src/gone.js: FAILED open or read'], [30000, '']],
    );
    assert.match(r.stderr, /src\/gone\.js: No such file or directory \(os error 2\)\n.*1 listed file could not be read\n.*2 computed checksums did NOT match\n$/s);
  });

  it('checks the lines a block reader leaves over as it checks the rest', () => {
    const { manifestRoot } = require('../../lib/tree/index.js');
    const entries = lines.map((l) => [l.slice(66), l.slice(0, 64)]);
    // Forms read line by line, in chunks of their own, between chunks of
    // the common form; two roots, the first right and the last wrong.
    const mixed = [...lines];
    mixed[3] = `${lines[3].slice(0, 64).toUpperCase()}${lines[3].slice(64)}`;
    mixed[5000] = `${lines[5000]}\r`;
    mixed[12000] = `SHA256 (${entries[12000][0]}) = ${entries[12000][1]}`;
    mixed[20000] = `\\${lines[20000].slice(0, 66)}src/a\\\\b`;
    const text = [...mixed.slice(0, 15000), `# root: ${manifestRoot(entries.slice(0, 15000))}`, '', '# note', ...mixed.slice(15000), `# root: ${'0'.repeat(64)}`];
    write(path.join(tmp, 'mixed.sha256'), `${text.join('\n')}\n`);
    const r = run(['check', '--quiet', path.join(tmp, 'mixed.sha256')], { cwd: path.join(tmp, 'proj') });
    assert.equal(r.status, 1);
    assert.equal(r.stdout, '\\src/a\\\\b: FAILED open or read\n# root: FAILED\n');
    assert.match(r.stderr, /^tov-engine: src\/a\\b: No such file or directory \(os error 2\)\n.*the root on line 30004 does not match the 15000 entries it covers/s);
  });

  it('prints nothing when a later line or a later manifest is malformed', () => {
    write(path.join(tmp, 'good.sha256'), `${lines.join('\n')}\n`);
    write(path.join(tmp, 'late.sha256'), `${lines.join('\n')}\nnot a line\n`);
    const late = run(['check', path.join(tmp, 'good.sha256'), path.join(tmp, 'late.sha256')], { cwd: path.join(tmp, 'proj') });
    oneLine(late, /late\.sha256: malformed manifest: line 30001 is not/);
    assert.equal(late.stdout, '');
    const good = run(['check', '--quiet', path.join(tmp, 'good.sha256')], { cwd: path.join(tmp, 'proj') });
    assert.deepEqual([good.status, good.stdout, good.stderr], [0, '', '']);
  });
});

describe('round trips', { skip: POSIX }, () => {
  const proj = () => path.join(tmp, 'proj');

  it('manifest . > MANIFEST leaves MANIFEST out, so sha256sum -c and diff agree', { skip: !hasSha256sum && 'sha256sum is not installed' }, () => {
    const r = sh('$TOV manifest . > OUT.sha256 && sha256sum -c --quiet OUT.sha256 && $TOV diff OUT.sha256 . && $TOV check --quiet OUT.sha256', proj());
    assert.deepEqual(r, { status: 0, stdout: '', stderr: '' });
    assert.doesNotMatch(fs.readFileSync(path.join(proj(), 'OUT.sha256'), 'utf8'), /OUT\.sha256/);
    fs.rmSync(path.join(proj(), 'OUT.sha256'));
  });

  it('manifest ., manifest and hashTree(".") list the same entries and root', async () => {
    const dot = run(['manifest', '-q', '.'], { cwd: proj() });
    assert.equal(dot.status, 0, dot.stderr);
    assert.equal(run(['manifest', '-q'], { cwd: proj() }).stdout, dot.stdout);
    assert.equal(run(['manifest', '-q', './'], { cwd: proj() }).stdout, dot.stdout);
    const { hashTree } = require('../../tree.js');
    const here = process.cwd();
    process.chdir(proj());
    let tree;
    try {
      tree = await hashTree('.');
    } finally {
      process.chdir(here);
    }
    assert.equal(dot.stdout, `${tree.manifest.map(([p, d]) => `${d}  ${p}`).join('\n')}\n# root: ${tree.root}\n`);
    // Absolute arguments keep absolute paths.
    assert.match(run(['manifest', '-q', path.join(proj(), 'src')]).stdout, new RegExp(`^[0-9a-f]{64}  ${proj()}/src/file-0\\.js$`, 'm'));
  });

  it('diff MANIFEST DIR names paths as manifest DIR does; check -C reads them below a directory', () => {
    const m = path.join(tmp, 'src.sha256');
    assert.equal(run(['manifest', '-q', 'src', '-o', m], { cwd: proj() }).status, 0);
    assert.deepEqual(run(['diff', m, 'src'], { cwd: proj() }), { status: 0, stdout: '', stderr: '', signal: null });
    write(path.join(proj(), 'src', 'new.js'), 'new');
    try {
      assert.equal(run(['diff', m, 'src'], { cwd: proj() }).stdout, 'A  src/new.js\n');
      assert.equal(run(['diff', '--json', 'src', m], { cwd: proj() }).stdout.includes('"src/new.js"'), true);
    } finally {
      fs.rmSync(path.join(proj(), 'src', 'new.js'));
    }
    for (const args of [['-C', proj()], [`--directory=${proj()}`]]) {
      assert.deepEqual(run(['check', '--quiet', ...args, m], { cwd: tmp }), { status: 0, stdout: '', stderr: '', signal: null });
    }
    oneLine(run(['check', '-C', 'nowhere', m], { cwd: tmp }), /^tov-engine: nowhere: No such file or directory\n$/);
    // A manifest made inside the directory still compares relative to it.
    const inside = path.join(tmp, 'inside.sha256');
    assert.equal(run(['manifest', '-q', '-o', inside], { cwd: path.join(proj(), 'src') }).status, 0);
    assert.equal(run(['diff', inside, 'src'], { cwd: proj() }).status, 0);
  });
});
