// SPDX-License-Identifier: Apache-2.0
// Stand-in for the Direct3D driver interface header that the Windows graphics engine's
// winddi.h includes, for cross builds whose system headers do not ship it.
//
// winddi.h names no record of this header itself: the Direct3D tables reach a display
// driver only through untyped pointers, and this printer driver has no DirectDraw or
// Direct3D entry points. The header only has to exist. The build puts this directory on
// the include path of the Windows build only.
#pragma once

typedef struct _D3DNTHAL_CALLBACKS D3DNTHAL_CALLBACKS, *LPD3DNTHAL_CALLBACKS;
typedef struct _D3DNTHAL_GLOBALDRIVERDATA D3DNTHAL_GLOBALDRIVERDATA,
    *LPD3DNTHAL_GLOBALDRIVERDATA;
