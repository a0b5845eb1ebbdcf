// ES module view of `tov-engine-native/tree`.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const tree = require('./tree.js');

export const { hashTree, checkTree, pathBytes } = tree;
export default tree;
