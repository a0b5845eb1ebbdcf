// Each line below must be a type error. If a declaration became too loose
// (an `any`, an optional argument, a looser entry type), its directive would
// be unused and the compilation would fail.
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
  type TovEngineError,
} from 'tov-engine-native';

// @ts-expect-error a string is not bytes
sha256('abc');
// @ts-expect-error an ArrayBuffer is not a view
sha256(new ArrayBuffer(4));
// @ts-expect-error the argument is required
sha256();
// @ts-expect-error a number is not a string
sha256String(42);
async function awaited(): Promise<void> {
  // @ts-expect-error fileHash resolves to a string, not a Buffer-like value
  const notBytes: Uint8Array = await fileHash('x');
  void notBytes;
}
// @ts-expect-error fileHash returns a promise, not the digest itself
const notYet: string = fileHash('x');
// @ts-expect-error an entry needs a digest
merkleRoot([['only-a-path']]);
// @ts-expect-error digests are strings
merkleRoot([['a', 1]]);
// @ts-expect-error a manifest is an array of entries, not of paths
merkleRoot(['a', 'b']);
// @ts-expect-error merkleDiff needs both manifests
merkleDiff([['a', '1']]);
// @ts-expect-error the result has no "changed" list
merkleDiff([], []).changed;
// @ts-expect-error paths are strings
batchFileHash([1, 2]);
// @ts-expect-error batch entries have exactly two items
const third: string = batchFileHash(['a'])[0]![2];
// @ts-expect-error the count is a number
const countText: string = countTokens('x');
// @ts-expect-error the budget is required
truncateToTokens('x');
// @ts-expect-error the budget is a number
truncateToTokens('x', '3');
// @ts-expect-error nativeVersion takes no arguments
nativeVersion('x');

declare const err: TovEngineError;
// @ts-expect-error codes are status names only
const notACode: TovEngineError['code'] = 'ENOENT';
// @ts-expect-error the code is a string, not a number
const numeric: number = err.code;

export {};
void [awaited, notYet, third, countText, notACode, numeric];

import { hashTree } from 'tov-engine-native/tree';
// @ts-expect-error the root is a path string
void hashTree(42);
// @ts-expect-error exclude takes glob strings
void hashTree('.', { exclude: [1] });
// @ts-expect-error the result is a promise
const notAwaited: { root: string } = hashTree('.');
void notAwaited;

import { createSha256, hashStream } from 'tov-engine-native/sha256';
// @ts-expect-error numbers are not bytes
createSha256().update(42);
// @ts-expect-error the digest is hex or a Buffer
createSha256().digest('base64');
// @ts-expect-error hashStream gives a promise
const notADigest: string = hashStream([]);
void notADigest;
