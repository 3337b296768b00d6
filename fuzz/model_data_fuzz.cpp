// SPDX-License-Identifier: Apache-2.0
// The driver data file: through the parser on its own, then through the model-data
// library as the driver loads it in DrvEnablePDEV, into the media table, the default
// settings, the capability records and the surface.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_support.h"
#include "modeldata/model_data_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Installation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PrepareContexts();
  const host::LiveObjects baseline = host::Live();

  ModelDataFile file;
  ModelDataError error;
  const BOOL parsed = ParseModelDataFile(data, size, &file, &error);
  if (parsed) {
    if (file.models.empty() || file.models.size() > kModelDataMaxModels)
      fuzz::Finding("parsed a file of " + std::to_string(file.models.size()) + " models");
    for (const ModelDataModel& model : file.models) {
      if (model.selector < 1 || model.selector > kModelDataMaxSelector ||
          model.media.size() > kModelDataMaxMedia)
        fuzz::Finding("parsed model " + std::to_string(model.selector) + " with " +
                      std::to_string(model.media.size()) + " media");
    }
  } else if (!file.models.empty() || error.text.empty()) {
    fuzz::Finding("a refused file left models behind or gave no reason");
  } else if (error.line > static_cast<DWORD>(std::count(data, data + size, '\n')) + 1) {
    fuzz::Finding("a refusal names line " + std::to_string(error.line) + ", past the file");
  }
  (void)error.Describe();

  const fuzz::Bytes bytes(data, data + size);
  if (!fuzz::Installation().WriteFile(host::kDataFilePath, bytes))
    fuzz::Finding("cannot write the data file");
  DeviceContext* context = fuzz::EnableContext(nullptr);
  // The library reads the file with the same parser: what it refuses, no context is made of.
  if (context && (!parsed || !FindModelData(&file, 1)))
    fuzz::Finding("DrvEnablePDEV accepted a data file without a usable model 1: " +
                  error.Describe());
  fuzz::DisableContext(context, true);
  fuzz::CheckNothingLeaked(baseline, "model data file");
  return 0;
}
