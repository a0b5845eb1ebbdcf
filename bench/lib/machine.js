'use strict';
// What the figures were taken on, and the machine's own SHA-256 limit.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');

function cpuInfo() {
  let text = '';
  try {
    text = fs.readFileSync('/proc/cpuinfo', 'utf8');
  } catch {
    // Not Linux: fall back to what Node reports.
  }
  const model = /^model name\s*:\s*(.+)$/m.exec(text);
  const flags = /^(?:flags|Features)\s*:\s*(.+)$/m.exec(text);
  const wanted = ['sha_ni', 'sha2', 'avx2', 'avx512bw', 'neon', 'asimd'];
  const present = flags ? flags[1].split(/\s+/).filter((flag) => wanted.includes(flag)) : [];
  return {
    model: model ? model[1].trim() : (os.cpus()[0] || {}).model || 'unknown',
    features: present,
  };
}

function cores() {
  return typeof os.availableParallelism === 'function'
    ? os.availableParallelism()
    : os.cpus().length;
}

function describe() {
  const cpu = cpuInfo();
  return {
    cpu: cpu.model,
    cpuFeatures: cpu.features,
    cores: cores(),
    memoryGiB: Math.round(os.totalmem() / 2 ** 30),
    node: process.version,
    nodeOpenssl: process.versions.openssl,
    platform: `${os.platform()} ${os.release()} ${os.arch()}`,
    loadAverage: os.loadavg().map((x) => Math.round(x * 100) / 100),
  };
}

// Aggregate SHA-256 throughput of `jobs` processes hashing 16 KiB blocks, as
// measured by the OpenSSL command-line tool. Returns bytes per second, or an
// explanation when the tool is missing or says something unexpected.
function opensslSha256Limit(jobs, seconds = 3) {
  const args = ['speed', '-evp', 'sha256', '-bytes', '16384', '-seconds', String(seconds)];
  if (jobs > 1) args.push('-multi', String(jobs));
  const run = spawnSync('openssl', args, { encoding: 'utf8', timeout: (seconds + 30) * 1000 });
  if (run.error) return { error: `openssl speed could not run: ${run.error.message}` };
  const output = `${run.stdout}\n${run.stderr}`;
  const version = spawnSync('openssl', ['version'], { encoding: 'utf8' }).stdout.trim();
  const parsed = parseOpensslSpeed(output);
  if (parsed) return { ...parsed, version };
  return { error: `unexpected openssl speed output (exit ${run.status})`, output };
}

// Bytes per second in the output of `openssl speed -evp sha256 -bytes N`,
// summed over the processes of -multi; null when there is no figure.
function parseOpensslSpeed(output) {
  // With -multi every child reports "+F:<n>:sha256:<bytes per second>".
  const perChild = [...output.matchAll(/^(?:Got: )?\+F:\d+:sha256:([\d.]+)/gm)].map((m) => Number(m[1]));
  if (perChild.length > 0) {
    return { bytesPerSecond: perChild.reduce((a, b) => a + b, 0), processes: perChild.length };
  }
  // A single process prints a table row in thousands of bytes per second.
  const row = /^sha256\s+([\d.]+)k\s*$/m.exec(output);
  if (row) return { bytesPerSecond: Number(row[1]) * 1000, processes: 1 };
  return null;
}

module.exports = { describe, cores, opensslSha256Limit, parseOpensslSpeed };
