// SPDX-License-Identifier: Apache-2.0
// The framework's filter for PNG and JPEG documents: the image is read by the tq33 tool's
// own code and placed on the label by its fit rules, so that an image prints as `tq33
// print` prints it. print-scaling none (the printer's default) places it pixel for pixel
// from the page's corner, cropped; fit and fill scale it to fit the page; auto and auto-fit
// do the first for an image that fits and the second for one that does not.
#pragma once

#include <pappl/pappl.h>

namespace tq33app {

// Prints the job's image; FALSE, with the job's reason, when it cannot be read, is larger
// than the framework takes (papplSystemGetMaxImageSize: refused before it is decoded), or
// cannot be printed.
bool ImageFilter(pappl_job_t* job, pappl_device_t* device, void* data);

}  // namespace tq33app
