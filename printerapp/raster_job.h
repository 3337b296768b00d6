// SPDX-License-Identifier: Apache-2.0
// The framework's raster callbacks, which print PWG and Apple raster through the driver's
// DDI as the CUPS filter does: each page's lines land on the driver's drawing surface
// where they lie on the label, and the page is printed with the job's copies. And the
// printer's own command stream, sent on as it is.
#pragma once

#include <pappl/pappl.h>

namespace tq33app {

// Works out the job's medium and settings; FALSE, with the job's reason, when it cannot
// print.
bool RasterStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
// Checks the page's header and settles the driver's context for it; FALSE, with the job's
// reason, for a page the printer cannot take.
bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                     unsigned page);
// Places line y of the page; FALSE once the job is cancelled.
bool RasterWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                     unsigned y, const unsigned char* line);
// Prints the page; FALSE, with the job's reason, when its raster ended early or the driver
// or the device failed.
bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                   unsigned page);
// Ends the document; FALSE when the job did not print whole.
bool RasterEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// Copies a document in the printer's own command stream to the device; FALSE, with the
// job's reason, when it cannot be read or written.
bool PrintNativeFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

}  // namespace tq33app
