// SPDX-License-Identifier: Apache-2.0
#include "tests/support/printer_app.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "tests/support/cups_support.h"
#include "tests/support/private_cupsd.h"

namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// Starts of a server whose port another took first.
constexpr int kStartAttempts = 3;

// The unprivileged user a server started by root runs as.
std::optional<std::pair<uid_t, gid_t>> ServerUser() {
  if (geteuid() != 0) return std::nullopt;
  const passwd* nobody = getpwnam("nobody");
  if (!nobody) return std::pair<uid_t, gid_t>{65534, 65534};
  return std::pair<uid_t, gid_t>{nobody->pw_uid, nobody->pw_gid};
}

std::string Program() { return BuiltProgram("tq33-printer-app"); }

// The framework's own leaks at exit are told from ours by their whole stacks.
constexpr std::pair<const char*, const char*> kSanitizerEnvironment[] = {
    {"ASAN_OPTIONS", "fast_unwind_on_malloc=0"},
    {"LSAN_OPTIONS", "suppressions=" TQ33_SOURCE_DIR "/tests/printerapp/framework_leaks.supp"}};

// The server's and its subcommands' HOME and TMPDIR in directory, as the server's user.
ProcessOptions ServerOptions(const std::string& directory) {
  ProcessOptions options;
  options.environment = {{"HOME", directory + "/home"}, {"TMPDIR", directory + "/tmp"}};
  options.environment.insert(options.environment.end(), std::begin(kSanitizerEnvironment),
                             std::end(kSanitizerEnvironment));
  options.user = ServerUser();
  return options;
}

http_t* Connect(int port) {
  return httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
}

// One request and its response (null when the server does not answer).
ipp_t* Request(int port, ipp_t* request, const std::string& resource, const std::string& file = {}) {
  http_t* http = Connect(port);
  if (!http) {
    ippDelete(request);
    return nullptr;
  }
  ipp_t* response = file.empty() ? cupsDoRequest(http, request, resource.c_str())
                                 : cupsDoFileRequest(http, request, resource.c_str(), file.c_str());
  httpClose(http);
  return response;
}

ipp_t* PrinterRequest(ipp_op_t operation, const std::string& uri) {
  ipp_t* request = ippNewRequest(operation);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
  return request;
}

}  // namespace

std::string PrinterApp::Unavailable() {
  if (ServerUser() && !FilterUserCanRun(Program()))
    return "run by root, the server runs as nobody, who cannot reach " + Program();
  return {};
}

testing::AssertionResult PrinterApp::Start(const std::string& directory) {
  directory_ = directory;
  const auto user = ServerUser();
  if (chmod(directory.c_str(), 0755) != 0) return testing::AssertionFailure() << "chmod " << directory;
  for (const char* name : {"home", "tmp", "out"}) {
    const std::string path = directory + "/" + name;
    std::error_code code;
    std::filesystem::create_directory(path, code);
    if (code || (user && chown(path.c_str(), user->first, user->second) != 0))
      return testing::AssertionFailure() << "cannot make " << path;
  }
  const std::string output = directory + "/server.err";
  // It answers once its port and its local socket (for the subcommands) are there. A port
  // drawn free may be another test's server's before this one binds it: it then ends,
  // saying so, and starts again on another.
  const std::string socket = directory + "/tmp/tq33-printer-app" + std::to_string(user ? user->first : getuid()) + ".sock";
  unlink(socket.c_str());
  for (int attempt = 1; attempt <= kStartAttempts && server_ <= 0; ++attempt) {
    port_ = FreeLoopbackPort();
    server_ = StartProcess({Program(), "server", "-o", "server-port=" + std::to_string(port_), "-o",
                            "listen-hostname=127.0.0.1", "-o", "log-file=" + directory + "/tmp/server.log",
                            "-o", "log-level=debug"}, ServerOptions(directory), output);
    for (const auto deadline = Clock::now() + std::chrono::seconds(20); server_ > 0 && Clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (http_t* http = Connect(port_)) {
        httpClose(http);
        if (access(socket.c_str(), F_OK) == 0) return testing::AssertionSuccess();
      }
      int status = 0;
      if (waitpid(server_, &status, WNOHANG) == server_) server_ = -1;
    }
    if (ReadFile(output).find("port " + std::to_string(port_) + "\n") == std::string::npos) break;
  }
  return testing::AssertionFailure() << "the server does not start:\n" << ReadFile(output) << Log();
}

void PrinterApp::Stop(bool showLog) {
  if (server_ > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    StopProcess(server_);
    const std::string output = ReadFile(directory_ + "/server.err");
    for (const char* report : {"Sanitizer", "runtime error"}) EXPECT_EQ(output.find(report), std::string::npos) << output;
  }
  if (showLog && !directory_.empty()) std::fprintf(stderr, "%s", Log().c_str());
}

ProcessResult PrinterApp::Command(std::vector<std::string> arguments,
                                  const std::vector<std::pair<std::string, std::string>>& environment) const {
  arguments.insert(arguments.begin(), Program());
  ProcessOptions options = ServerOptions(directory_);
  options.environment.insert(options.environment.end(), environment.begin(), environment.end());
  return RunProcess(arguments, options);
}

testing::AssertionResult PrinterApp::Add(const std::string& printer, const std::string& deviceUri) const {
  const ProcessResult added = Command({"add", "-d", printer, "-v", deviceUri, "-m", "tq33"});
  if (added.status == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "add failed: " << added.out << added.err;
}

int PrinterApp::Submit(const std::string& printer, const std::string& file, const std::string& format,
                       const std::string& options, const std::string& jobName) const {
  ipp_t* request = PrinterRequest(IPP_OP_PRINT_JOB, Uri(printer));
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
               (jobName.empty() ? std::filesystem::path(file).filename().string() : jobName).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
  cups_option_t* parsed = nullptr;
  const int count = cupsParseOptions(options.c_str(), 0, &parsed);
  cupsEncodeOptions2(request, count, parsed, IPP_TAG_JOB);
  cupsFreeOptions(count, parsed);
  ipp_t* response = Request(port_, request, "/ipp/print/" + printer, file);
  ipp_attribute_t* id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
  const int job = id ? ippGetInteger(id, 0) : 0;
  ippDelete(response);
  return job;
}

ipp_jstate_t PrinterApp::Wait(const std::string& printer, int job, std::string* message, std::string* reasons) const {
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); job > 0 && Clock::now() < deadline;) {
    ipp_t* request = PrinterRequest(IPP_OP_GET_JOB_ATTRIBUTES, Uri(printer));
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
    ipp_t* response = Request(port_, request, "/ipp/print/" + printer);
    ipp_attribute_t* state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
    const auto value = state ? static_cast<ipp_jstate_t>(ippGetInteger(state, 0)) : IPP_JSTATE_PENDING;
    if (value >= IPP_JSTATE_STOPPED) {
      const std::vector<std::string> texts = Values(response, "job-state-message");
      if (message) *message = texts.empty() ? "" : texts[0];
      if (reasons) {
        reasons->clear();
        for (const std::string& reason : Values(response, "job-state-reasons")) *reasons += (reasons->empty() ? "" : ",") + reason;
      }
      ippDelete(response);
      return value;
    }
    ippDelete(response);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return IPP_JSTATE_PENDING;
}

ipp_t* PrinterApp::Attributes(const std::string& printer, std::vector<std::string> names) const {
  ipp_t* request = PrinterRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, Uri(printer));
  names.insert(names.begin(), {"all", "media-col-database"});
  std::vector<const char*> wanted;
  for (const std::string& name : names) wanted.push_back(name.c_str());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", static_cast<int>(wanted.size()),
                nullptr, wanted.data());
  return Request(port_, request, "/ipp/print/" + printer);
}

bool PrinterApp::Set(const std::string& printer, const std::string& options) const {
  ipp_t* request = PrinterRequest(IPP_OP_SET_PRINTER_ATTRIBUTES, Uri(printer));
  cups_option_t* parsed = nullptr;
  const int count = cupsParseOptions(options.c_str(), 0, &parsed);
  for (int i = 0; i < count; ++i) {
    const std::string value = parsed[i].value;
    if (value == "true" || value == "false") {
      ippAddBoolean(request, IPP_TAG_PRINTER, parsed[i].name, value == "true");
    } else {
      ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, parsed[i].name, nullptr, value.c_str());
    }
  }
  cupsFreeOptions(count, parsed);
  ipp_t* response = Request(port_, request, "/ipp/print/" + printer);
  const bool ok = response && ippGetStatusCode(response) == IPP_STATUS_OK;
  ippDelete(response);
  return ok;
}

std::string PrinterApp::Page(const std::string& path) const {
  // The server answers a GET without its Host field "Bad Request" (cupsGetFile sent none).
  std::string page;
  http_t* http = Connect(port_);
  if (!http) return page;
  httpSetField(http, HTTP_FIELD_HOST, ("127.0.0.1:" + std::to_string(port_)).c_str());
  if (httpGet(http, path.c_str()) == 0) {
    http_status_t status;
    while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) continue;
    char buffer[8192];
    for (ssize_t n; status == HTTP_STATUS_OK && (n = httpRead2(http, buffer, sizeof buffer)) > 0;)
      page.append(buffer, static_cast<size_t>(n));
  }
  httpClose(http);
  return page;
}

std::string PrinterApp::Log() const { return ReadFile(directory_ + "/tmp/server.log"); }

std::vector<std::string> Values(ipp_t* response, const char* name) {
  ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_ZERO);
  if (!attribute) return {};
  std::vector<char> text(ippAttributeString(attribute, nullptr, 0) + 1);
  ippAttributeString(attribute, text.data(), text.size());
  // libcups writes the values apart with commas, a collection as {member=value ...}.
  std::vector<std::string> values(1);
  int depth = 0;
  for (const char* c = text.data(); *c; ++c) {
    depth += *c == '{' ? 1 : *c == '}' ? -1 : 0;
    if (*c == ',' && depth == 0 && ippGetCount(attribute) > 1) {
      values.emplace_back();
    } else if (!((*c == '{' && depth == 1) || (*c == '}' && depth == 0))) {
      values.back() += *c;
    }
  }
  return values;
}

}  // namespace test
