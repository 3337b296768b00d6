// SPDX-License-Identifier: Apache-2.0
// The whole host back to its defaults: every unit's own reset.
#include "host/host_internal.h"

namespace host {

void Reset() {
  internal::ResetFaults();
  internal::ResetLocale();
  internal::ResetSpooler();
  internal::ResetRegistry();
  internal::ResetEngine();
}

}  // namespace host
