// Job and page control (placeholder until its unit lands).
#include "driver/ddi.h"

BOOL APIENTRY DrvStartDoc(SURFOBJ*, LPWSTR, DWORD) { return FALSE; }
BOOL APIENTRY DrvStartPage(SURFOBJ*) { return FALSE; }
BOOL APIENTRY DrvSendPage(SURFOBJ*) { return FALSE; }
BOOL APIENTRY DrvEndDoc(SURFOBJ*, FLONG) { return FALSE; }
