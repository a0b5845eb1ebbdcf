'use strict';
// Side-by-side timing for a small, shared machine. Every side of a comparison
// is measured in the same rounds, in a rotating order, so that a slow phase of
// the machine (another process, a GC, frequency changes) lands on all sides
// alike. A side is summed up by its best round (interference only ever adds
// time, so on a busy machine the best round is the most repeatable figure) and
// by its median round; the per-round ratios show how much the comparison
// itself moved.

const now = process.hrtime.bigint;

// Results go here so that no call can be dropped as dead code.
let sink = null;

function keep(value) {
  sink = value;
  return sink;
}

function quantile(sorted, q) {
  if (sorted.length === 0) return NaN;
  const position = (sorted.length - 1) * q;
  const low = Math.floor(position);
  const high = Math.ceil(position);
  return sorted[low] + (sorted[high] - sorted[low]) * (position - low);
}

function summarize(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return {
    median: quantile(sorted, 0.5),
    min: sorted[0],
    max: sorted[sorted.length - 1],
    q1: quantile(sorted, 0.25),
    q3: quantile(sorted, 0.75),
    samples: values,
  };
}

function timeSync(fn, iterations) {
  let last;
  const start = now();
  for (let i = 0; i < iterations; i++) last = fn();
  const elapsed = Number(now() - start);
  keep(last);
  return elapsed;
}

async function timeAsync(fn, iterations) {
  let last;
  const start = now();
  for (let i = 0; i < iterations; i++) last = await fn();
  const elapsed = Number(now() - start);
  keep(last);
  return elapsed;
}

// Doubles the batch until one batch lasts the sample time; the calibration
// batches double as warm-up. A single call that already takes longer than the
// sample time is timed on its own.
async function calibrate(fn, isAsync, sampleNs) {
  let iterations = 1;
  for (;;) {
    const elapsed = isAsync ? await timeAsync(fn, iterations) : timeSync(fn, iterations);
    if (elapsed >= sampleNs || iterations >= 1 << 24) {
      return Math.max(1, Math.round((iterations * sampleNs) / Math.max(elapsed, 1)));
    }
    iterations *= elapsed < sampleNs / 16 ? 8 : 2;
  }
}

async function warm(fn, isAsync, warmupNs, minCalls) {
  const start = now();
  let calls = 0;
  while (calls < minCalls || Number(now() - start) < warmupNs) {
    if (isAsync) await fn();
    else fn();
    calls++;
  }
}

// sides: { ours: fn, peer: fn, ... } (the first side is the reference for the
// ratios). Returns, per side, nanoseconds per call over the rounds, and per
// other side the ratio of its time to the reference's in each round.
async function compare(sides, options = {}) {
  const {
    isAsync = false,
    rounds = 9,
    sampleMs = 40,
    warmupMs = 150,
    warmupCalls = 2,
  } = options;
  const names = Object.keys(sides);
  const sampleNs = sampleMs * 1e6;
  const iterations = {};
  for (const name of names) {
    await warm(sides[name], isAsync, warmupMs * 1e6, warmupCalls);
    iterations[name] = await calibrate(sides[name], isAsync, sampleNs);
  }
  const perCall = Object.fromEntries(names.map((name) => [name, []]));
  for (let round = 0; round < rounds; round++) {
    for (let k = 0; k < names.length; k++) {
      const name = names[(round + k) % names.length];
      const fn = sides[name];
      const n = iterations[name];
      const elapsed = isAsync ? await timeAsync(fn, n) : timeSync(fn, n);
      perCall[name].push(elapsed / n);
    }
  }
  const reference = names[0];
  const result = { iterations, sides: {}, ratios: {} };
  for (const name of names) result.sides[name] = summarize(perCall[name]);
  for (const name of names.slice(1)) {
    const paired = perCall[name].map((ns, i) => ns / perCall[reference][i]);
    result.ratios[name] = {
      ...summarize(paired),
      ofMedians: result.sides[name].median / result.sides[reference].median,
      ofBests: result.sides[name].min / result.sides[reference].min,
    };
  }
  return result;
}

module.exports = { compare, summarize, keep, now };
