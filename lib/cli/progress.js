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

module.exports = { Progress };
