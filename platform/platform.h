// SPDX-License-Identifier: Apache-2.0
// The platform the driver runs on: the Windows graphics engine, spooler, kernel, registry
// and version resources. Every driver unit includes this header and nothing else of the
// platform.
//
// On Windows it resolves to the system headers and the driver links against the system
// libraries. On Linux it resolves to our own declarations (win_types.h, win_calls.h),
// implemented by the host layer in host/.
#pragma once

#if defined(_WIN32)
#  include <windows.h>
#  include <winspool.h>
#  include <winddi.h>
// UTF-16 string literal in the platform's wide character type.
#  define WIDE(text) L##text
#else
#  include "platform/win_calls.h"
#  include "platform/win_types.h"
#  define WIDE(text) u##text
#endif

#include "platform/layout_checks.h"
