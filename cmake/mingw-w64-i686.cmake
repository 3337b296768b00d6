# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#
# The compiler is the "-win32" thread-model variant: its runtime needs no threads library
# of its own, so with -static-libgcc -static-libstdc++ the DLLs import only from system
# libraries. (The "-posix" variant would pull in libwinpthread-1.dll.)
#
# The raster pipeline's vector code (several lines diffused at once, sixteen dots packed at
# a time) needs SSE2, which every processor a supported Windows runs on has; it stays in
# integer registers, so scalar floating point is as before (x87).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TQ33_MINGW_TRIPLET i686-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${TQ33_MINGW_TRIPLET}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQ33_MINGW_TRIPLET}-windres)
find_program(TQ33_OBJDUMP NAMES ${TQ33_MINGW_TRIPLET}-objdump REQUIRED)
set(CMAKE_CXX_FLAGS_INIT "-msse2")

# Headers and libraries come from the cross environment only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ33_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
