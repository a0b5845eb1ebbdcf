'use strict';
// The native module ends the process while loading when a worker-count
// variable is unusable; callers check first and report it as an error.
// Every valid count loads: one past any machine's threads is capped by the
// module, so only these syntax errors and 0 can end the process.

const VARIABLE = 'TOKIO_WORKER_THREADS';
const MAX = (1n << 64n) - 1n;

function parseError(value) {
  if (value === '') return 'cannot parse integer from empty string';
  const digits = value.startsWith('+') ? value.slice(1) : value;
  if (!/^[0-9]+$/.test(digits)) return 'invalid digit found in string';
  if (BigInt(digits) > MAX) return 'number too large to fit in target type';
  return null;
}

// The module's own message for a bad value, or null when loading is safe.
function threadVariableProblem(env = process.env) {
  const value = env[VARIABLE];
  if (value === undefined) return null;
  const error = parseError(value);
  if (error !== null) return `"${VARIABLE}" must be usize, error: ${error}, value: ${value}`;
  if (BigInt(value.replace(/^\+/, '')) === 0n) return `"${VARIABLE}" cannot be set to 0`;
  return null;
}

module.exports = { threadVariableProblem };
