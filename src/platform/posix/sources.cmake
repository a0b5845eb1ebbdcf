# Any other POSIX system (the BSDs, for example): the POSIX services, and the
# fallbacks for what POSIX does not offer.
set(TOV_PLATFORM_SOURCES
  posix/error_text.cc
  posix/file.cc
  posix/file_identity.cc
  posix/memory.cc
  posix/module_pin.cc
  posix/thread_exit.cc
  fallback/read_ring.cc
  fallback/system.cc
)
