// SPDX-License-Identifier: Apache-2.0
// What every command of the tq33 tool shares: its failures and exit statuses, and the
// output of its reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace tq33cli {

using Json = nlohmann::ordered_json;

// Exit statuses: a failed job or bad input is 1, a usage error 2.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// A command's failure: main prints "tq33: <message>" and exits with status.
struct ToolError {
  int status;
  std::string message;
};

[[noreturn]] inline void Fail(std::string message) {
  throw ToolError{kExitFailed, std::move(message)};
}
[[noreturn]] inline void UsageError(std::string message) {
  throw ToolError{kExitUsage, std::move(message)};
}

// "1 dot", "2 dots".
inline std::string CountOf(int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Prints "tq33: warning: MESSAGE" on standard error.
inline void Warn(const std::string& message) {
  std::fprintf(stderr, "tq33: warning: %s\n", message.c_str());
}

// Prints a report: the JSON document itself, or the same content as indented
// "name: value" lines.
void PrintReport(const Json& report, bool json, std::FILE* out = stdout);

// The text form of a report, as PrintReport writes it without --json.
std::string ReportText(const Json& report);

}  // namespace tq33cli
