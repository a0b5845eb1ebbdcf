# Cross build for Windows x64 with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The posix flavour is needed for std::thread and std::mutex; everything is
# linked statically so that the module and the test programs need no MinGW
# runtime DLLs next to them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TOV_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TOV_MINGW_PREFIX}-gcc-posix ${TOV_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TOV_MINGW_PREFIX}-g++-posix ${TOV_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TOV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine when built on Linux.
find_program(TOV_WINE NAMES wine wine64)
if(TOV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOV_WINE})
endif()
