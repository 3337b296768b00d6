// SPDX-License-Identifier: Apache-2.0
/* The translation of the installation's resource library (3\TQ33Kr.dll): US English,
   Unicode, the one for which the driver's default settings differ from those of a library
   it cannot read. The resource script and the reference installation on Linux both take
   it from here. */
#pragma once

#define TQ33_RESOURCE_LANGUAGE 0x0409
#define TQ33_RESOURCE_CODE_PAGE 0x04B0
