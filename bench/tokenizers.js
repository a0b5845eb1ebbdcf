'use strict';
// How the token estimate compares with real tokenizers: countTokens against
// js-tiktoken's cl100k_base and o200k_base on texts of each kind, printed as
// the README's table. The ratio is the estimate over the real count: above
// 1 the estimate is high (safe for a budget), below 1 a budget needs a
// margin of about 1/ratio.
//
//   npm run bench -- tokenizers [--json]
//
// The texts come from pinned packages of this repository and from the
// system, so that another run measures the same bytes.
const fs = require('node:fs');
const path = require('node:path');
const { countTokens } = require('..');

const root = path.join(__dirname, '..');
const modules = path.join(root, 'node_modules');

function firstExisting(...files) {
  return files.find((f) => fs.existsSync(f)) || null;
}

const SAMPLES = [
  {
    kind: 'C',
    what: 'the Node-API headers (node-api-headers)',
    files: ['js_native_api.h', 'js_native_api_types.h', 'node_api.h', 'node_api_types.h'].map((f) =>
      path.join(modules, 'node-api-headers', 'include', f),
    ),
  },
  { kind: 'JavaScript', what: 'index.js of the ignore package', files: [path.join(modules, 'ignore', 'index.js')] },
  { kind: 'Markdown', what: 'README.md of the ignore package', files: [path.join(modules, 'ignore', 'README.md')] },
  { kind: 'JSON', what: "this repository's package-lock.json", files: [path.join(root, 'package-lock.json')] },
  {
    kind: 'English prose',
    what: 'the GNU GPL version 3 text',
    files: [firstExisting('/usr/share/common-licenses/GPL-3', path.join(root, 'LICENSE'))],
  },
];

function load(name) {
  try {
    const { Tiktoken } = require('js-tiktoken/lite');
    const ranks = require(`js-tiktoken/ranks/${name}`);
    return new Tiktoken(ranks);
  } catch (err) {
    throw new Error(`js-tiktoken is missing (npm install adds it as a devDependency): ${err.message}`);
  }
}

function measure() {
  const encoders = { cl100k: load('cl100k_base'), o200k: load('o200k_base') };
  return SAMPLES.map(({ kind, what, files }) => {
    const text = files.map((f) => fs.readFileSync(f, 'utf8')).join('\n');
    const estimate = countTokens(text);
    const row = { kind, what, bytes: Buffer.byteLength(text), estimate };
    for (const [name, enc] of Object.entries(encoders)) {
      const real = enc.encode(text).length;
      row[name] = { tokens: real, ratio: estimate / real };
    }
    return row;
  });
}

function table(rows) {
  const lines = [
    '| Text | Bytes | `countTokens` | cl100k_base | ratio | o200k_base | ratio |',
    '|---|---|---|---|---|---|---|',
  ];
  for (const r of rows) {
    lines.push(
      `| ${r.kind} (${r.what}) | ${r.bytes.toLocaleString('en')} | ${r.estimate.toLocaleString('en')} | ` +
        `${r.cl100k.tokens.toLocaleString('en')} | ${r.cl100k.ratio.toFixed(2)}x | ` +
        `${r.o200k.tokens.toLocaleString('en')} | ${r.o200k.ratio.toFixed(2)}x |`,
    );
  }
  return lines.join('\n');
}

function main(argv = process.argv.slice(2)) {
  const rows = measure();
  process.stdout.write(argv.includes('--json') ? `${JSON.stringify(rows, null, 2)}\n` : `${table(rows)}\n`);
}

if (require.main === module) main();

module.exports = { main, measure, table };
