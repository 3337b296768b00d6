// SPDX-License-Identifier: Apache-2.0
// A fuzz target without the fuzzer: every input named (every file of a folder named, in
// the order of their names) through the target once, as libFuzzer replays a corpus, with
// the empty input first as libFuzzer runs it. The test builds make each target this way,
// so that the committed corpora and the targets' checks run with the tests, under the
// test build's sanitizers. A check that fails aborts, as under the fuzzer.
//
// Usage: fuzz_replay_<target> INPUT|FOLDER...; status 0 when every input ran, 2 when an
// input cannot be read or none was named.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

bool Inputs(const char* named, std::vector<fs::path>* inputs) {
  std::error_code error;
  if (!fs::is_directory(named, error)) {
    inputs->emplace_back(named);
    return true;
  }
  std::vector<fs::path> files;
  for (fs::directory_iterator it(named, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file(error)) files.push_back(it->path());
  if (error) {
    std::fprintf(stderr, "fuzz replay: cannot list %s: %s\n", named, error.message().c_str());
    return false;
  }
  std::sort(files.begin(), files.end());
  inputs->insert(inputs->end(), files.begin(), files.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i)
    if (!Inputs(argv[i], &inputs)) return 2;
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s INPUT|FOLDER...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  static const uint8_t kNone = 0;
  LLVMFuzzerTestOneInput(&kNone, 0);
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    std::vector<uint8_t> bytes;
    if (file) bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file || file.bad()) {
      std::fprintf(stderr, "fuzz replay: cannot read %s\n", input.c_str());
      return 2;
    }
    LLVMFuzzerTestOneInput(bytes.empty() ? &kNone : bytes.data(), bytes.size());
  }
  std::printf("%zu inputs\n", inputs.size());
  return 0;
}
