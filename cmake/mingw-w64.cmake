# SPDX-License-Identifier: Apache-2.0
# What both Windows cross builds share; the toolchain files set CMAKE_SYSTEM_PROCESSOR and
# TQ33_MINGW_TRIPLET first.
#
# The compiler is the "-win32" thread-model variant: its runtime needs no threads library
# of its own, so with -static-libgcc -static-libstdc++ the DLLs import only from system
# libraries. (The "-posix" variant would pull in libwinpthread-1.dll.)
set(CMAKE_SYSTEM_NAME Windows)
find_program(CMAKE_CXX_COMPILER NAMES ${TQ33_MINGW_TRIPLET}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQ33_MINGW_TRIPLET}-windres)
find_program(TQ33_OBJDUMP NAMES ${TQ33_MINGW_TRIPLET}-objdump REQUIRED)

# Headers and libraries come from the cross environment only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ33_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
