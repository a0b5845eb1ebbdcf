# Any other POSIX system (macOS, the BSDs): the POSIX services, and the
# fallbacks for what POSIX does not offer.
set(TOV_PLATFORM_SOURCES
  posix/file.cc
  posix/memory.cc
  posix/module_pin.cc
  posix/platform.cc
  fallback/read_ring.cc
)
