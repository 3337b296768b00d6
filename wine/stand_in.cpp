// SPDX-License-Identifier: Apache-2.0
// The mark of a stand-in library: an export that Wine's own GDI32 and WINSPOOL do not
// have. Without its DLL override Wine loads its builtin library under our file's name,
// whose engine calls are stubs that abort; the runner asks every stand-in for its mark
// before it prints. TQ33_STAND_IN names the library ("engine", "spooler").
#include <windows.h>

extern "C" const char* WINAPI TQ33StandIn(void) { return TQ33_STAND_IN; }
