// The encapsulated-PostScript escape (placeholder until its unit lands).
#include "driver/ddi.h"
#include "eps/eps_escape.h"

ULONG APIENTRY DrvDrawEscape(SURFOBJ*, ULONG, CLIPOBJ*, RECTL*, ULONG, PVOID) { return 0; }
