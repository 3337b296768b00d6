# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
#
# As for 32 bits, the compiler is the "-win32" thread-model variant, so that with
# -static-libgcc -static-libstdc++ the DLLs import only from system libraries. SSE2 is
# part of x86-64 itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TQ33_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${TQ33_MINGW_TRIPLET}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQ33_MINGW_TRIPLET}-windres)
find_program(TQ33_OBJDUMP NAMES ${TQ33_MINGW_TRIPLET}-objdump REQUIRED)

# Headers and libraries come from the cross environment only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ33_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
