// Real CommonJS-style usage of the package, resolved through its own
// "exports" map. It must compile without errors.
import native = require('tov-engine-native');
import {
  batchFileHash,
  countTokens,
  fileHash,
  merkleDiff,
  merkleRoot,
  nativeVersion,
  sha256,
  sha256String,
  truncateToTokens,
} from 'tov-engine-native';
import type {
  BatchManifest,
  ErrorCode,
  HexDigest,
  Manifest,
  ManifestEntry,
  MerkleDiff,
  TovEngineError,
} from 'tov-engine-native';
import { Equal, expectType } from './helpers';

const bytes = new Uint8Array([0x61, 0x62, 0x63]);
const digest: HexDigest = sha256(bytes);
sha256(new DataView(bytes.buffer, 1, 2));
sha256(new Float64Array(2));
expectType<Equal<typeof digest, string>>();
expectType<Equal<ReturnType<typeof sha256String>, string>>();

// fileHash is the one promise.
const pending = fileHash('package.json');
expectType<Equal<typeof pending, Promise<string>>>();
async function hashOne(path: string): Promise<number> {
  const hex = await fileHash(path);
  return hex.length;
}
void hashOne;

// batchFileHash produces what merkleRoot and merkleDiff consume.
const manifest = batchFileHash(['package.json', 'README.md']);
expectType<Equal<typeof manifest, BatchManifest>>();
expectType<Equal<(typeof manifest)[number], [path: string, digest: string]>>();
const [firstPath, firstDigest] = manifest[0]!;
expectType<Equal<typeof firstPath, string>>();
expectType<Equal<typeof firstDigest, string>>();
const root: string = merkleRoot(manifest);
void root;

// Extra items in an entry are allowed; read-only arrays are accepted.
const withExtras: Manifest = [
  ['a', '1', 'ignored'],
  ['b', '2'],
];
const frozen: readonly ManifestEntry[] = Object.freeze([['c', '3'] as const]);
const diff = merkleDiff(withExtras, frozen);
expectType<Equal<typeof diff, MerkleDiff>>();
expectType<Equal<typeof diff.added, string[]>>();
const changed: string[] = [...diff.added, ...diff.modified, ...diff.deleted];
void changed;
merkleDiff(manifest, manifest);
batchFileHash(Object.freeze(['x', 'y']));

// Tokens.
const count: number = countTokens('hello, world!');
const cut: string = truncateToTokens('hello world', count - 3);
void cut;
expectType<Equal<ReturnType<typeof nativeVersion>, string>>();

// The default-less CommonJS object carries the same nine functions.
expectType<Equal<typeof native.merkleRoot, typeof merkleRoot>>();

// Errors: a plain Error with a string code from a closed set.
try {
  sha256String('x');
} catch (err) {
  const e = err as TovEngineError;
  const code: string = e.code;
  const message: string = e.message;
  expectType<Equal<typeof e.code, ErrorCode>>();
  if (e.code === 'StringExpected' || e.code === 'GenericFailure') void [code, message];
}
const asError: Error = {} as TovEngineError;
void asError;

// The tree module, resolved through the "./tree" export.
import { checkTree, hashTree, pathBytes } from 'tov-engine-native/tree';
import type { CheckResult, SkippedPath, TreeManifest, TreeProgress } from 'tov-engine-native/tree';

async function treeUsage(signal: AbortSignalLikeForTest): Promise<void> {
  const seen: TreeProgress[] = [];
  const tree: TreeManifest = await hashTree('.', {
    exclude: ['*.log', 'build/'],
    gitignore: true,
    follow: false,
    signal,
    onProgress: (p) => seen.push(p),
  });
  const failures: SkippedPath[] = tree.skipped.filter((s) => s.failed);
  const root: HexDigest = merkleRoot(tree.manifest);
  const checked: { ok: boolean; results: CheckResult[] } = await checkTree(tree.manifest, '.');
  const bytes: Uint8Array = pathBytes(tree.manifest[0]![0]);
  void [failures, root, checked, bytes];
}
type AbortSignalLikeForTest = import('tov-engine-native/tree').AbortSignalLike;
void treeUsage;

// The hasher module, resolved through the "./sha256" export.
import { createSha256, createSha256Transform, createSha256TransformStream, hashStream, restoreSha256 } from 'tov-engine-native/sha256';
import type { Sha256 } from 'tov-engine-native/sha256';

async function hasherUsage(signal: AbortSignalLikeForTest, chunks: AsyncIterable<Uint8Array>): Promise<void> {
  const hasher: Sha256 = createSha256().update('text').update(new Uint8Array(3)).update(new DataView(new ArrayBuffer(2)));
  const saved: Uint8Array = hasher.save();
  const fork: Sha256 = restoreSha256(saved).copy();
  const hex: HexDigest = hasher.digest();
  const raw: Uint8Array = fork.digest('buffer');
  const streamed: HexDigest = await hashStream(chunks, { signal });
  const piped: HexDigest = await createSha256Transform().digest();
  const web: HexDigest = await createSha256TransformStream().digest();
  void [hex, raw, streamed, piped, web, hasher.bytesHashed];
}
void hasherUsage;

// The binary table, resolved through the "./prebuilds" export.
import { GLIBC_FLOOR, TARGETS, resolveBinary, shipped } from 'tov-engine-native/prebuilds';
import type { Target } from 'tov-engine-native/prebuilds';
const floor: string = GLIBC_FLOOR;
const ids: string[] = TARGETS.map((t: Target) => t.id);
const carried: Target[] = shipped();
const found = resolveBinary();
const kind: 'source' | 'prebuilt' | undefined = found?.kind;
void [floor, ids, carried, kind];
