# Any other POSIX system (macOS, the BSDs): the POSIX services, and the
# fallbacks for what POSIX does not offer.
set(TOV_PLATFORM_SOURCES
  posix/error_text.cc
  posix/file.cc
  posix/memory.cc
  posix/module_pin.cc
  fallback/read_ring.cc
  fallback/system.cc
)
