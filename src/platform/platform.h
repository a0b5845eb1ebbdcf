// Operating-system services used by the rest of the engine. Everything that
// differs between Linux, macOS and Windows stays behind this header (and
// file.h) so that a port touches only src/platform/.
#pragma once

#include <cstddef>
#include <string>

namespace tov::platform {

// Logical processors this process may run on (CPU affinity honoured), at least 1.
std::size_t available_cpus();

// Best effort: names the calling thread for debuggers, `ps -L` and tests.
// Names longer than the platform allows are cut.
void set_current_thread_name(const char* name);

// The system's text for an error code, trailing white space removed, in the
// form "No such file or directory (os error 2)".
std::string os_error_description(int code);

// Whether an arm64 processor has the SHA-256 instructions of the ARMv8
// cryptographic extension, as the system reports them; false elsewhere.
bool arm_has_sha256_instructions();

}  // namespace tov::platform
