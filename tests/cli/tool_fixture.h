// SPDX-License-Identifier: Apache-2.0
// The base of the tool's end-to-end tests: a scratch directory to run tq33 in, and the
// page the driver makes for a set of options.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/image_input.h"
#include "tests/support/tool_runner.h"

namespace test {

using Json = nlohmann::ordered_json;

class ToolTest : public ::testing::Test {
 protected:
  ToolResult Run(const Args& args) { return RunTool(args, dir_.path()); }


  // Runs a command that must succeed with --json and returns its report.
  Json RunJson(Args args) {
    args.push_back("--json");
    ToolResult result = Run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.status == 0 ? Json::parse(result.out) : Json::object();
  }

  // The page in dots that print makes with these options: (cx, cy).
  std::pair<uint32_t, uint32_t> Page(const Args& options) {
    Json page = RunJson(Join({"info"}, options))["page"];
    return {page.value("cx", 0u), page.value("cy", 0u)};
  }

  // Expects text to hold every one of parts.
  static void ExpectHas(const std::string& text, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts) EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
  }

  // Expects every field of expected, a JSON object, to hold its value in actual.
  static void ExpectFields(const Json& actual, const std::string& expected) {
    const Json fields = Json::parse(expected);
    for (const auto& [key, value] : fields.items()) EXPECT_EQ(actual.value(key, Json()), value) << key;
  }

  // Expects a failure with this status whose message names the cause.
  void ExpectFailure(const ToolResult& result, int status, const std::string& cause) {
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_EQ(result.err.rfind("tq33: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(cause), std::string::npos) << result.err;
  }

  std::string Path(const std::string& name) const { return dir_ / name; }

  ScratchDir dir_;
};

// A PNG read back as 8-bit gray (a bilevel PNG of the tool gives 0 and 255) by the tool's
// own image decoding, which ImageInputTest holds to every colour type libpng writes.
inline Gray ReadPngGray(const std::string& path) {
  const tq33cli::ImageSource source = tq33cli::OpenImageSource(path);
  const tq33cli::ImageSize size = tq33cli::ProbeImage(source);
  Gray image{size.width, size.height, std::vector<uint8_t>(size_t{size.width} * size.height)};
  tq33cli::GrayPage page{size.width, size.height, image.pixels.data()};
  tq33cli::RenderImage(source, tq33cli::Fit::None, &page);
  return image;
}

inline std::string SourcePath(const std::string& relative) {
  return std::string(TQ33_SOURCE_DIR) + "/" + relative;
}

}  // namespace test
