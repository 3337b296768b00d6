// SPDX-License-Identifier: Apache-2.0
// One file per job in a directory, or one path for every job.
#include "printerapp/file_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "printerapp/guarded.h"
#include "printerapp/job_claim.h"

namespace tq33app {
namespace {

constexpr char kFileScheme[] = "file:";

// A job's file name is its name cut to this many characters, and a number when taken.
constexpr size_t kMaxFileStem = 64;
constexpr int kMaxFileNumber = 100000;

struct FileDevice {
  std::string path;       // the file or device, or the directory of the jobs' files
  bool directory = false;
  std::string stem;       // a directory device: the stem of the job's file name
  int fd = -1;            // opened at the first write
  int error = 0;          // errno of the first failed open or write
};

// The devices open now, so that a job can ask its device's state; the framework's data
// pointer of another scheme's device is its own.
std::mutex gDevicesLock;
std::map<pappl_device_t*, FileDevice*> gDevices;

// The job name as a file name: letters, digits, '.', '-' and '_' kept, anything else
// '_', no leading '.'; "job" for nothing.
std::string FileStem(const char* name) {
  std::string stem;
  for (const char* c = name ? name : ""; *c && stem.size() < kMaxFileStem; ++c) {
    const unsigned char u = static_cast<unsigned char>(*c);
    const bool kept = u < 0x80 && (std::isalnum(u) || u == '-' || u == '_' || (u == '.' && !stem.empty()));
    stem += kept ? static_cast<char>(u) : '_';
  }
  return stem.empty() ? "job" : stem;
}

// A new file in the directory for the job, never one that exists; -1 with errno set.
int CreateJobFile(const std::string& directory, const std::string& stem) {
  for (int number = 1; number <= kMaxFileNumber; ++number) {
    const std::string path = directory + "/" + stem + (number == 1 ? "" : "-" + std::to_string(number)) + ".prn";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Keeps what the device is: nothing is opened before the first write, so that a job that
// writes nothing leaves no file and holds no device. FALSE for a URI without a path.
bool OpenFile(pappl_device_t* device, const char* uri, const char* name) {
  char scheme[32], user[256], host[256], resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), user, sizeof(user), host,
                      sizeof(host), &port, resource, sizeof(resource)) < HTTP_URI_STATUS_OK ||
      resource[0] != '/') {
    papplDeviceError(device, "Bad file device URI '%s'.", uri);
    return false;
  }
  auto file = std::make_unique<FileDevice>();
  file->path = resource;
  struct stat status {};
  file->directory = stat(resource, &status) == 0 && S_ISDIR(status.st_mode);
  file->stem = FileStem(name);
  std::lock_guard<std::mutex> lock(gDevicesLock);
  gDevices[device] = file.get();
  papplDeviceSetData(device, file.release());
  return true;
}

void CloseFile(pappl_device_t* device) {
  // The framework may be closing the device a job it has just started holds.
  WaitForStartingJobs();
  std::unique_ptr<FileDevice> file(static_cast<FileDevice*>(papplDeviceGetData(device)));
  {
    std::lock_guard<std::mutex> lock(gDevicesLock);
    gDevices.erase(device);
  }
  if (file && file->fd >= 0 && close(file->fd) != 0)
    papplDeviceError(device, "Cannot close '%s': %s", file->path.c_str(), std::strerror(errno));
}

// Opens the job's file or the path at the first write, then writes every byte; -1 with the
// device's error reported when the file cannot be made or refuses them.
ssize_t WriteFile(pappl_device_t* device, const void* buffer, size_t bytes) {
  auto* file = static_cast<FileDevice*>(papplDeviceGetData(device));
  if (file->fd < 0 && file->error == 0) {
    file->fd = file->directory ? CreateJobFile(file->path, file->stem)
                               : open(file->path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file->fd < 0) {
      file->error = errno;
      papplDeviceError(device, "Cannot open a file in '%s': %s", file->path.c_str(), std::strerror(file->error));
    }
  }
  if (file->fd < 0) return -1;
  const char* next = static_cast<const char*>(buffer);
  for (size_t left = bytes; left > 0;) {
    const ssize_t written = write(file->fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (file->error == 0) file->error = written < 0 ? errno : EIO;
      papplDeviceError(device, "Cannot write to '%s': %s", file->path.c_str(), std::strerror(file->error));
      return -1;
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
  return static_cast<ssize_t>(bytes);
}

// A file answers nothing.
ssize_t ReadFile(pappl_device_t*, void*, size_t) { return 0; }

pappl_preason_t FileStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

// A device error of the device a job opens for itself, in the job's log.
void JobDeviceError(const char* message, void* job) {
  papplLogJob(static_cast<pappl_job_t*>(job), PAPPL_LOGLEVEL_ERROR, "%s", message);
}

}  // namespace

JobDevice::JobDevice(pappl_job_t* job, pappl_device_t* given) : device_(given) {
  // Told by the printer's URI: the device given may be closed already.
  const char* uri = papplPrinterGetDeviceURI(papplJobGetPrinter(job));
  if (!uri || std::strncmp(uri, kFileScheme, std::strlen(kFileScheme)) != 0) return;
  device_ = papplDeviceOpen(uri, papplJobGetName(job), JobDeviceError, job);
  owned_ = device_ != nullptr;
}

JobDevice::~JobDevice() {
  if (owned_) papplDeviceClose(device_);
}

void AddFileDevice() {
  papplDeviceAddScheme("file", PAPPL_DEVTYPE_FILE, nullptr, Guarded<OpenFile>, Guarded<CloseFile>,
                       ReadFile, WriteFile, FileStatus, nullptr);
}

std::string FileDeviceError(pappl_device_t* device) {
  std::lock_guard<std::mutex> lock(gDevicesLock);
  auto found = gDevices.find(device);
  if (found == gDevices.end() || found->second->error == 0) return {};
  return std::strerror(found->second->error);
}

}  // namespace tq33app
