# SPDX-License-Identifier: Apache-2.0
# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#
# The raster pipeline's vector code (several lines diffused at once, sixteen dots packed at
# a time) needs SSE2, which every processor a supported Windows runs on has; it stays in
# integer registers, so scalar floating point is as before (x87).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TQ33_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_CXX_FLAGS_INIT "-msse2")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
