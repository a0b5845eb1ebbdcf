// ES module entry: the same exports object as `require('tov-engine-native')`,
// re-exported by name. A native addon can only be loaded through require.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const native = require('./index.js');

export const {
  sha256,
  fileHash,
  merkleDiff,
  merkleRoot,
  countTokens,
  sha256String,
  nativeVersion,
  batchFileHash,
  truncateToTokens,
} = native;

export default native;
