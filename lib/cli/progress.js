'use strict';
// A one-line progress display on standard error, redrawn in place. It is
// drawn only on a terminal: in a pipe or a log file a stream of carriage
// returns would be noise.

class Progress {
  /**
   * stream: where to draw (standard error); quiet: never draw; delay: draw
   * nothing during the first milliseconds, so quick runs do not flicker;
   * interval: least time between redraws; now: clock, for tests.
   */
  constructor({ stream = process.stderr, quiet = false, delay = 250, interval = 100, now = Date.now } = {}) {
    this.stream = stream;
    this.enabled = !quiet && Boolean(stream.isTTY);
    this.delay = delay;
    this.interval = interval;
    this.now = now;
    this.start = now();
    this.last = -Infinity;
    this.shown = false;
  }

  update(text) {
    if (!this.enabled) return;
    const t = this.now();
    if (t - this.start < this.delay || t - this.last < this.interval) return;
    this.last = t;
    const width = (this.stream.columns || 80) - 1;
    const line = text.length > width ? `${text.slice(0, width - 3)}...` : text;
    this.stream.write(`\r\x1b[K${line}`);
    this.shown = true;
  }

  clear() {
    if (!this.shown) return;
    this.stream.write('\r\x1b[K');
    this.shown = false;
  }
}

const UNITS = ['B', 'kB', 'MB', 'GB', 'TB'];

// Decimal units, three significant digits: 999 B, 1.50 MB, 12.3 GB.
function formatBytes(n) {
  let i = 0;
  while (n >= 1000 && i < UNITS.length - 1) {
    n /= 1000;
    i++;
  }
  return i === 0 ? `${n} B` : `${n >= 100 ? n.toFixed(0) : n >= 10 ? n.toFixed(1) : n.toFixed(2)} ${UNITS[i]}`;
}

/**
 * The progress line for a tree event { phase, files, hashed, bytes?,
 * totalBytes? } after `elapsed` ms: files always, bytes and a rate when the
 * event carries them (a single large file moves the bytes, not the files).
 */
function progressText({ phase, files, hashed, bytes, totalBytes }, label = '', elapsed = 0) {
  const at = label && ` ${label}:`;
  if (phase === 'scanning') return `tov-engine: scanning${at} ${files} files`;
  const verb = phase === 'checking' ? 'checking' : 'hashing';
  let text = `tov-engine: ${verb}${at} ${hashed}/${files} files`;
  if (typeof bytes === 'number') {
    text += `, ${formatBytes(bytes)}`;
    if (typeof totalBytes === 'number') text += ` of ${formatBytes(totalBytes)}`;
    if (elapsed >= 1000) text += `, ${formatBytes(Math.round((bytes * 1000) / elapsed))}/s`;
  }
  return text;
}

module.exports = { Progress, progressText, formatBytes };
