// The device context (placeholder until its unit lands).
#include "driver/ddi.h"
#include "driver/device_context.h"

BOOL isValidDeviceContext(const DeviceContext* context) {
  return context && context->signatureHead == DEVICE_CONTEXT_SIGNATURE &&
         context->signatureTail == DEVICE_CONTEXT_SIGNATURE;
}

DHPDEV APIENTRY DrvEnablePDEV(DEVMODEW*, LPWSTR, ULONG, HSURF*, ULONG, ULONG*, ULONG, DEVINFO*,
                              HDEV, LPWSTR, HANDLE) {
  return nullptr;
}
VOID APIENTRY DrvCompletePDEV(DHPDEV, HDEV) { SetLastError(ERROR_INVALID_PARAMETER); }
VOID APIENTRY DrvDisablePDEV(DHPDEV) { SetLastError(ERROR_INVALID_PARAMETER); }
BOOL APIENTRY DrvResetPDEV(DHPDEV, DHPDEV) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
