// ES module usage: named imports and the default export.
import native, { merkleRoot, sha256, type MerkleDiff } from 'tov-engine-native';
import { Equal, expectType } from './helpers.js';

const root: string = merkleRoot([['a', 'b']]);
const hex: string = sha256(new Uint8Array(0));
const again: string = native.sha256String('');
void [root, hex, again];
expectType<Equal<typeof native.fileHash, (path: string) => Promise<string>>>();
expectType<Equal<ReturnType<typeof native.merkleDiff>, MerkleDiff>>();

import tree, { hashTree as hashTreeNamed } from 'tov-engine-native/tree';
expectType<Equal<typeof tree.hashTree, typeof hashTreeNamed>>();

import hasher, { createSha256 as createNamed } from 'tov-engine-native/sha256';
expectType<Equal<typeof hasher.createSha256, typeof createNamed>>();
