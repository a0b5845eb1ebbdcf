// ES module view of the declarations in sha256.d.ts.
import * as sha256 from './sha256.js';

export * from './sha256.js';
export default sha256;
