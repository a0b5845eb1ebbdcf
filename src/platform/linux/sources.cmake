# Linux: the POSIX services, and the kernel's read ring where the headers
# know linked files (Linux 5.17); older headers get the fallback ring.
include(CheckSymbolExists)
check_symbol_exists(IORING_FEAT_LINKED_FILE "linux/io_uring.h" TOV_HAVE_IO_URING_LINKED_FILE)
set(TOV_PLATFORM_SOURCES
  posix/error_text.cc
  posix/file.cc
  posix/directory.cc
  posix/file_identity.cc
  posix/memory.cc
  posix/module_pin.cc
  posix/thread_exit.cc
  linux/system.cc
)
if(TOV_HAVE_IO_URING_LINKED_FILE)
  list(APPEND TOV_PLATFORM_SOURCES linux/read_ring.cc)
else()
  list(APPEND TOV_PLATFORM_SOURCES fallback/read_ring.cc)
endif()
