'use strict';
// Peak resident memory of this process around one piece of work.
const fs = require('node:fs');

// The high-water mark can be reset on Linux; elsewhere the lifetime maximum
// is all there is, which start-up may already have set.
function resetPeak() {
  try {
    fs.writeFileSync('/proc/self/clear_refs', '5');
    return true;
  } catch {
    return false;
  }
}

function peak(resettable) {
  if (resettable) {
    const m = /^VmHWM:\s*(\d+) kB/m.exec(fs.readFileSync('/proc/self/status', 'utf8'));
    if (m) return Number(m[1]) * 1024;
  }
  return process.resourceUsage().maxRSS * 1024;
}

// The resident memory now.
function rss() {
  const m = /^VmRSS:\s*(\d+) kB/m.exec(fs.readFileSync('/proc/self/status', 'utf8'));
  return m ? Number(m[1]) * 1024 : process.memoryUsage().rss;
}

module.exports = { resetPeak, peak, rss };
