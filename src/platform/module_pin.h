// Keeping this engine's code mapped. A host may unload a native module once
// the last environment that loaded it has ended (Node does so when only
// worker threads loaded it), while a thread that was left running still has
// to return through that code.
#pragma once

namespace tov::platform {

// Makes the shared object holding this code stay loaded until the process
// ends, whatever unloads are asked for later. Idempotent and cheap after the
// first call. False when the code could not be pinned, which includes code
// linked into the main program (which is never unloaded anyway).
bool pin_loaded_module() noexcept;

}  // namespace tov::platform
