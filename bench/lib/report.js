'use strict';
// Rows and their text form.

function formatTime(ns) {
  if (!Number.isFinite(ns)) return '-';
  if (ns < 1e3) return `${ns.toFixed(ns < 10 ? 2 : ns < 100 ? 1 : 0)} ns`;
  if (ns < 1e6) return `${(ns / 1e3).toFixed(ns < 1e4 ? 2 : ns < 1e5 ? 1 : 0)} us`;
  if (ns < 1e9) return `${(ns / 1e6).toFixed(ns < 1e7 ? 2 : ns < 1e8 ? 1 : 0)} ms`;
  return `${(ns / 1e9).toFixed(2)} s`;
}

function formatRate(bytesPerSecond) {
  if (bytesPerSecond >= 1e9) return `${(bytesPerSecond / 1e9).toFixed(2)} GB/s`;
  return `${(bytesPerSecond / 1e6).toFixed(bytesPerSecond >= 1e8 ? 0 : 1)} MB/s`;
}

function formatBytes(bytes) {
  const sign = bytes < 0 ? '-' : '';
  const b = Math.abs(bytes);
  if (b >= 2 ** 20) return `${sign}${(b / 2 ** 20).toFixed(1)} MiB`;
  if (b >= 2 ** 10) return `${sign}${(b / 2 ** 10).toFixed(0)} KiB`;
  return `${sign}${b} B`;
}

// One side of a comparison: time per call, with throughput when the call
// processes a known number of bytes.
function describeSide(ns, bytesPerCall) {
  const time = formatTime(ns);
  if (!bytesPerCall) return time;
  return `${time} (${formatRate((bytesPerCall * 1e9) / ns)})`;
}

// A row of the table. `kind` is 'speedup' (peer time / our time, higher is
// better), 'fraction' (our throughput / a limit) or 'info' (no target).
function row(fields) {
  const { ratio, target, kind = 'speedup' } = fields;
  let verdict = '';
  if (kind !== 'info' && Number.isFinite(ratio) && Number.isFinite(target)) {
    verdict = ratio >= target ? 'PASS' : 'MISS';
  }
  return { kind, verdict, ...fields };
}

function ratioText(r) {
  if (r.kind === 'info' && !Number.isFinite(r.ratio)) return '';
  if (!Number.isFinite(r.ratio)) return '-';
  if (r.kind === 'fraction') return `${(r.ratio * 100).toFixed(0)}%`;
  // Enough digits that a miss never prints as the target itself.
  const digits = r.verdict === 'MISS' && Number(r.ratio.toFixed(2)) >= r.target ? 3 : 2;
  return `${r.ratio.toFixed(digits)}x`;
}

function targetText(r) {
  if (!Number.isFinite(r.target)) return '';
  if (r.kind === 'fraction') return `>= ${(r.target * 100).toFixed(0)}%`;
  return `>= ${r.target}x`;
}

function rangeText(r) {
  if (!r.ratioRange) return '';
  const [low, high] = r.ratioRange;
  return `${low.toFixed(2)}..${high.toFixed(2)}`;
}

function table(rows, otherLabel) {
  const header = ['case', 'ours', 'peer', 'ratio', otherLabel, 'rounds', 'target', ''];
  const lines = rows.map((r) => [
    r.title,
    r.oursText || '',
    r.peerText || '',
    ratioText(r),
    Number.isFinite(r.otherRatio) ? `${r.otherRatio.toFixed(2)}x` : '',
    rangeText(r),
    targetText(r),
    r.verdict,
  ]);
  const widths = header.map((h, c) => Math.max(h.length, ...lines.map((l) => l[c].length)));
  const render = (cells) =>
    cells
      .map((cell, c) => (c === 0 || c === 1 || c === 2 ? cell.padEnd(widths[c]) : cell.padStart(widths[c])))
      .join('  ')
      .trimEnd();
  const out = [render(header), widths.map((w) => '-'.repeat(w)).join('  ')];
  for (let i = 0; i < rows.length; i++) {
    out.push(render(lines[i]));
    if (rows[i].note) out.push(`    ${rows[i].note}`);
  }
  return out.join('\n');
}

module.exports = { formatTime, formatRate, formatBytes, describeSide, row, table };
