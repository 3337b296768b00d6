// The drawing surface (placeholder until its unit lands).
#include "driver/ddi.h"
#include "driver/surface.h"

HSURF APIENTRY DrvEnableSurface(DHPDEV) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return {};
}
VOID APIENTRY DrvDisableSurface(DHPDEV) {}
