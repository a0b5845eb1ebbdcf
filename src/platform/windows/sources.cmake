# Windows: Win32 file, thread and module services, and no read ring
# (files are read one by one).
set(TOV_PLATFORM_SOURCES
  fallback/directory.cc
  windows/file.cc
  windows/file_identity.cc
  windows/host_module.cc
  windows/memory.cc
  windows/module_pin.cc
  windows/platform.cc
  windows/shared_mutex.cc
  windows/thread_exit.cc
  windows/wide.cc
  fallback/read_ring.cc
)
