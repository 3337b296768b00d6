// SPDX-License-Identifier: Apache-2.0
// The file device: file:///DIR writes each job's bytes to a file of its own in DIR,
// named after the job (NAME.prn, NAME-2.prn, ... so that no job replaces another's);
// file:///PATH of anything else (a file, a printer's character device) receives every
// job's bytes in turn. It takes the place of the framework's own file device, which
// gives jobs of one name one file. Nothing is opened before the first write: a job that
// sends nothing leaves no file.
//
// The framework closes the file device of a printer after each job, whatever device the
// printer holds by then; a job that starts while another finishes may have its device
// closed under it. So each job writes through a file device of its own (JobDevice), and
// the one the framework opens for it, unwritten, costs nothing.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace tq33app {

// Registers the scheme "file" with the framework, for every system of the process.
void AddFileDevice();

// The device a job writes through: the one the framework gave it, or for a file device a
// new one of the printer's device URI that the job owns and closes.
class JobDevice {
 public:
  JobDevice(pappl_job_t* job, pappl_device_t* given);
  ~JobDevice();
  JobDevice(const JobDevice&) = delete;
  JobDevice& operator=(const JobDevice&) = delete;
  // Null, with the cause in the job's log, when the device of its own cannot be opened.
  pappl_device_t* get() const { return device_; }

 private:
  pappl_device_t* device_ = nullptr;
  bool owned_ = false;
};

// Why the device's last write failed ("No space left on device"); empty when it did not,
// or when the device is not a file device.
std::string FileDeviceError(pappl_device_t* device);

}  // namespace tq33app
