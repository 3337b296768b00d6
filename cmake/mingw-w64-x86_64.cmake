# SPDX-License-Identifier: Apache-2.0
# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64). SSE2 is
# part of x86-64 itself.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TQ33_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
