// ES module view of the declarations in index.d.ts: the nine functions as
// named exports, and the whole exports object as the default export.
import * as native from './index.js';

export * from './index.js';
export default native;
