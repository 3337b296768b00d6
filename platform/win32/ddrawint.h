// SPDX-License-Identifier: Apache-2.0
// Stand-in for the DirectDraw driver interface header that the Windows graphics engine's
// winddi.h includes, for cross builds whose system headers do not ship it.
//
// winddi.h names these records only in the prototypes of DirectDraw entry points, always
// through pointers; this driver implements none of them, so opaque declarations suffice.
// The build puts this directory on the include path of the Windows build only.
#pragma once

typedef struct _DD_CALLBACKS DD_CALLBACKS, *PDD_CALLBACKS;
typedef struct _DD_SURFACECALLBACKS DD_SURFACECALLBACKS, *PDD_SURFACECALLBACKS;
typedef struct _DD_PALETTECALLBACKS DD_PALETTECALLBACKS, *PDD_PALETTECALLBACKS;
typedef struct _DD_HALINFO DD_HALINFO, *PDD_HALINFO;
typedef struct _DD_DIRECTDRAW_GLOBAL DD_DIRECTDRAW_GLOBAL, *PDD_DIRECTDRAW_GLOBAL;
typedef struct _DD_SURFACE_LOCAL DD_SURFACE_LOCAL, *PDD_SURFACE_LOCAL;
typedef struct _VIDEOMEMORY VIDEOMEMORY, *PVIDEOMEMORY;
