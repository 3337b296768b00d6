// SPDX-License-Identifier: Apache-2.0
// The device context behind the engine's handles, checked by its two signatures.
#include "context/device_context.h"

BOOL isValidDeviceContext(const DeviceContext* context) {
  return context && context->signatureHead == kDeviceContextSignature &&
         context->signatureTail == kDeviceContextSignature;
}

DeviceContext* ContextOfSurface(const SURFOBJ* surface, bool setError) {
  DeviceContext* context = surface ? ContextFromHandle(surface->dhpdev) : nullptr;
  if (isValidDeviceContext(context)) return context;
  if (setError) SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}
