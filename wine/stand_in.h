// SPDX-License-Identifier: Apache-2.0
// How a runner under Wine knows that the engine and the spooler it calls are our stand-ins
// (wine/stand_in.cpp) and not Wine's own libraries of the same names, whose engine calls
// are stubs: each stand-in exports its mark.
#pragma once

#include <cstring>

#include "platform/platform.h"

// Whether the loaded library of this name is our stand-in: it answers its mark ("engine"
// for GDI32.dll, "spooler" for WINSPOOL.DRV).
inline bool IsStandIn(const wchar_t* library, const char* mark) {
  using MarkFn = const char*(WINAPI*)();
  HMODULE module = GetModuleHandleW(library);
  auto get = module ? reinterpret_cast<MarkFn>(reinterpret_cast<void (*)()>(
                          GetProcAddress(module, "TQ33StandIn")))
                    : nullptr;
  return get && std::strcmp(get(), mark) == 0;
}

// The words a runner fails with when they are not.
inline constexpr char kNoStandIns[] =
    "GDI32.dll and WINSPOOL.DRV are not the stand-ins beside this program: "
    "set WINEDLLOVERRIDES=\"gdi32,winspool.drv=n,b\"";
