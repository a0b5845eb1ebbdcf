'use strict';
// Command-line parsing: each command's option table, one-line messages for
// what parseArgs refuses, and the arguments' bytes where they are not UTF-8.

const fs = require('node:fs');
const { parseArgs } = require('node:util');
const { pathFromBytes } = require('../tree/index.js');
const { CliError } = require('./errors');

// The options of the commands that walk directories (manifest, diff).
const WALK_OPTIONS = {
  all: { type: 'boolean' },
  follow: { type: 'boolean' },
  exclude: { type: 'string', multiple: true },
  gitignore: { type: 'boolean' },
  quiet: { type: 'boolean', short: 'q' },
  verbose: { type: 'boolean', short: 'v' },
};

// The long name of an option as written (-o is --output), for hints.
function longName(written, options) {
  if (written.startsWith('--')) return written;
  const short = written.slice(1);
  const found = Object.entries(options).find(([, o]) => o.short === short);
  return found ? `--${found[0]}` : written;
}

function parseError(err, command, options) {
  const msg = String(err.message);
  let text;
  let m;
  if ((m = /^Unknown option '([^']*)'/.exec(msg))) text = `unknown option '${m[1]}'`;
  else if ((m = /^Option '(?:-\w, )?(-[^ ']+)(?: <value>)?' argument missing/.exec(msg))) text = `option '${m[1]}' needs a value`;
  else if ((m = /^Option '(?:-\w, )?(-[^ ']+)' does not take an argument/.exec(msg))) text = `option '${m[1]}' takes no value`;
  else if ((m = /^Option '(?:-\w, )?(-[^ ']+)' argument is ambiguous/.exec(msg))) {
    // The long form: '-o=VALUE' would be read as the value '=VALUE'.
    text = `option '${m[1]}' needs a value (write ${longName(m[1], options)}=VALUE for a value that starts with '-')`;
  } else if ((m = /^Unexpected argument '([^']*)'/.exec(msg))) text = `unexpected argument '${m[1]}'`;
  else text = msg.split('\n')[0];
  const where = command ? `tov-engine ${command} --help` : 'tov-engine --help';
  return new CliError(`${text} (see '${where}')`);
}

/**
 * Parses a command's arguments against its option table (help is added);
 * { values, positionals } as parseArgs gives them.
 */
function parse(args, options, command) {
  const all = { ...options, help: { type: 'boolean', short: 'h' } };
  try {
    return parseArgs({ args, options: all, allowPositionals: true, strict: true });
  } catch (err) {
    throw parseError(err, command, all);
  }
}

/**
 * The command's arguments with names that are not UTF-8 kept as the tree
 * module's escaped strings: process.argv has replaced their bytes with
 * U+FFFD, which names another file or none. Linux keeps the bytes in
 * /proc/self/cmdline; elsewhere the arguments stay as Node gives them.
 */
function rawArguments(argv = process.argv, cmdline = '/proc/self/cmdline') {
  const args = argv.slice(2);
  if (!args.some((a) => a.includes('\uFFFD'))) return args;
  let raw;
  try {
    raw = fs.readFileSync(cmdline);
  } catch {
    return args;
  }
  const parts = [];
  for (let start = 0, i; start < raw.length; start = i + 1) {
    i = raw.indexOf(0, start);
    if (i === -1) i = raw.length;
    parts.push(raw.subarray(start, i));
  }
  if (parts.length < args.length) return args;
  const tail = parts.slice(parts.length - args.length);
  // Only where the bytes decode to what Node gave; anything else is not ours.
  if (!tail.every((bytes, i) => bytes.toString('utf8') === args[i])) return args;
  return tail.map((bytes) => pathFromBytes(bytes));
}

module.exports = { parse, WALK_OPTIONS, rawArguments };
