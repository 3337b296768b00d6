// SPDX-License-Identifier: Apache-2.0
// The media definition file beside the driver: read on its own, then through a context
// whose settings select one of its definitions by paper size code, and the surface whose
// size the definition decides.
//
// Input: one byte choosing the definition (paper size code 317 + n), then the file.

#include <cstring>

#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "fuzz/fuzz_support.h"

namespace {

// The driver's default record, made on the first input.
const fuzz::Bytes& Template() {
  static const fuzz::Bytes record = fuzz::DefaultSettingsRecord();
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Installation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PrepareContexts();
  Template();
  host::PrinterInstallation& installation = fuzz::Installation();
  const host::LiveObjects baseline = host::Live();
  fuzz::Reader reader(data, size);
  const uint8_t choice = reader.Byte();
  const fuzz::Bytes file = reader.Rest();
  if (!installation.WriteFile(host::kMediaFilePath, file)) fuzz::Finding("cannot write the file");

  LONG count = -2;
  MediaDefinition* definitions = ReadMediaDefinitions(host::kDriverPath, &count);
  if (definitions) {
    if (count < 0 || count > MEDIA_DEFINITION_SLOTS)
      fuzz::Finding("ReadMediaDefinitions gave a block with count " + std::to_string(count));
    // The whole block is the caller's to read, whatever the file held. (Asked of the
    // sanitizer at once: reading it byte by byte cost a fifth of an execution.)
    if (fuzz::Poisoned(definitions, MEDIA_DEFINITION_BLOCK_SIZE))
      fuzz::Finding("ReadMediaDefinitions gave a block shorter than " +
                    std::to_string(MEDIA_DEFINITION_BLOCK_SIZE) + " bytes");
    GlobalFree(definitions);
  } else if (count != -1) {
    fuzz::Finding("ReadMediaDefinitions failed with count " + std::to_string(count));
  }

  fuzz::Bytes record = Template();
  auto* settings = reinterpret_cast<SettingsRecord*>(record.data());
  settings->dm.dmFields |= DM_PAPERSIZE;
  settings->dm.dmPaperSize = static_cast<SHORT>(USER_FORM_BASE + choice % 24);
  DeviceContext* context = fuzz::EnableContext(&settings->dm);
  if (!definitions && context) fuzz::Finding("DrvEnablePDEV succeeded without a definition file");
  fuzz::DisableContext(context, true);
  fuzz::CheckNothingLeaked(baseline, "media definition file");
  return 0;
}
