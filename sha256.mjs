// ES module view of `tov-engine-native/sha256`.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const sha256 = require('./sha256.js');

export const { createSha256, restoreSha256, hashStream, createSha256Transform, createSha256TransformStream } = sha256;
export default sha256;
