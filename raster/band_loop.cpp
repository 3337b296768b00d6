// The band loop (placeholder until its unit lands).
#include "driver/ddi.h"
#include "raster/band_loop.h"

BOOL APIENTRY DrvStartBanding(SURFOBJ*, POINTL*) { return FALSE; }
BOOL APIENTRY DrvNextBand(SURFOBJ*, POINTL*) { return FALSE; }
