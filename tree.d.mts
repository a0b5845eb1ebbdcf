// ES module view of the declarations in tree.d.ts.
import * as tree from './tree.js';

export * from './tree.js';
export default tree;
