// SPDX-License-Identifier: Apache-2.0
// One job of the printer application through the driver's DDI, whatever its document:
// the medium and settings its attributes ask for, the driver's document around its
// pages, and every byte the driver writes to the spooler sent on to the printer's device.
//
// A job prints only on the medium loaded (media-col-ready): one that names no medium
// prints on it, one that names another ends with a reason. A continuous tape prints any
// length up to its longest; a label prints its own length.
#pragma once

#include <pappl/pappl.h>

#include <memory>
#include <string>
#include <vector>

#include "cups/job_settings.h"
#include "host/engine_session.h"
#include "printerapp/printer_model.h"

namespace tq33app {

// The page a job's document is printed on, before the driver sees it.
struct PageSetup {
  short orientation = DMORIENT_PORTRAIT;  // dmOrientation
  LONG yResolution = 360;                 // dots per inch along the tape
};

class LabelJob {
 public:
  // Works out the job's medium and options. Null when the job cannot print, with the
  // job's message and reasons set for clients (a medium that is not loaded, no printer
  // of the host).
  static std::unique_ptr<LabelJob> Start(pappl_job_t* job, pappl_pr_options_t* options,
                                         pappl_device_t* device, bool photo);
  ~LabelJob();
  LabelJob(const LabelJob&) = delete;
  LabelJob& operator=(const LabelJob&) = delete;

  // Settles the driver's context for a page. The page image to fill, the size of the
  // driver's surface; null after a failure.
  host::GrayImage* BeginPage(const PageSetup& page);
  // Prints the page image with its copies, starting the document with the first page.
  // FALSE, with the job's message set, when the driver or the device fails.
  bool PrintPage();
  // Ends the document: aborted after a failure or a cancellation, so that the printer
  // is left ready either way. FALSE when the job did not print whole.
  bool End();

  // Ends the job with a reason for clients (PAPPL_JREASON_...) and a message; FALSE.
  bool Fail(unsigned reason, const std::string& message);
  bool failed() const { return failed_; }
  bool cancelled() const;
  const host::EngineSession& session() const { return *session_; }
  const IppMedium& medium() const { return *medium_; }

 private:
  LabelJob(pappl_job_t* job, pappl_device_t* device) : job_(job), device_(device) {}
  bool WriteToDevice(const uint8_t* bytes, size_t count);
  bool DeviceWorks();

  pappl_job_t* job_;
  pappl_device_t* device_;
  PrinterModel* model_ = nullptr;
  HANDLE printer_ = nullptr;
  const IppMedium* medium_ = nullptr;
  LONG length_ = 0;  // the page length the job asks, tenths of a millimetre
  tq33cups::JobOptions options_;
  LONG copies_ = 1;
  std::vector<uint8_t> record_;  // the settings record of the open session
  std::unique_ptr<host::EngineSession> session_;
  host::GrayImage image_;
  bool inDocument_ = false;
  bool failed_ = false;
  bool writeFailed_ = false;
};

// The driver's data of a job's printer: the application's model.
PrinterModel* ModelOf(pappl_job_t* job);

}  // namespace tq33app
