// Process-level services of the operating system: the processors this
// process may use, thread names, and the system's texts for its error codes.
// Together with the other headers of this folder (file.h, memory.h,
// read_ring.h, cpu.h, module_pin.h, environment.h, fatal.h) this is all the
// engine asks of a system; each system implements it in its own folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"

namespace tov::platform {

// Logical processors this process may run on (CPU affinity honoured where the
// system has it), at least 1.
std::size_t available_cpus();

// Best effort: names the calling thread for debuggers, `ps -L` and tests.
// Names longer than the system allows are cut; systems without thread names
// ignore the call.
void set_current_thread_name(const char* name);

// The system's text for one of its error codes (errno on POSIX systems, the
// Win32 error code on Windows), trailing white space removed, in the form "No
// such file or directory (os error 2)".
std::string os_error_description(std::int32_t code);

// The error for one of the system's codes, named by the text above.
inline base::Error os_error(std::int32_t code) noexcept {
  return base::Error::system(code, os_error_description);
}

}  // namespace tov::platform
