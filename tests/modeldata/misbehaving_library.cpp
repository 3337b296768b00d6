// SPDX-License-Identifier: Apache-2.0
// A model-data library that breaks one promise of the protocol, chosen by the environment
// variable TQ33_MISBEHAVE, to show that the driver's load fails on each. Otherwise it keeps
// them all, with one blank medium ("count-fffe": 65534, the most). Built for the tests only.
#include <cstdlib>
#include <cstring>

#include "context/model_data.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool Mode(const char* mode) {
  const char* chosen = std::getenv("TQ33_MISBEHAVE");
  return chosen && std::strcmp(chosen, mode) == 0;
}

BOOL WINAPI Open(ModelDataHandle* handle, LPCWSTR) {
  *handle = Mode("handle-all-ones") ? 0xFFFFFFFFu : 7;
  return TRUE;
}

BOOL WINAPI Close(ModelDataHandle) { return TRUE; }

BOOL WINAPI GetModel(ModelDataHandle, DWORD, BYTE* record, DWORD size, DWORD* returned) {
  record[0] = Mode("type-ff") ? 0xFF : '0';  // the driver's block is zeroed
  *returned = size;
  return TRUE;
}

BOOL WINAPI GetMediaList(ModelDataHandle, DWORD, BYTE* buffer, DWORD, DWORD* needed, DWORD* count) {
  // "list-grows": the fill call claims a block of 40 entries where the probe asked for one.
  const bool grows = buffer && Mode("list-grows");
  const DWORD many = Mode("count-ffff") ? 0xFFFF : Mode("count-fffe") ? 0xFFFE : grows ? 40 : 1;
  *needed = sizeof(MediaListEntry) * many;
  if (!buffer && !Mode("probe-succeeds")) {
    if (!Mode("probe-silent")) SetLastError(Mode("probe-wrong-error") ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (Mode("fill-fails")) return FALSE;
  if (!Mode("count-unwritten")) *count = Mode("count-zero") ? 0 : Mode("count-over-block") ? 2 : many;
  return TRUE;
}

}  // namespace

TEST_EXPORT BOOL WINAPI QDX_InitializeW(ModelDataTable* table) {
  if (Mode("init-fails") || table->size != MODEL_DATA_TABLE_SIZE) return FALSE;
  table->mdOpen = Mode("no-open") ? nullptr : Open;
  table->mdClose = Mode("no-close") ? nullptr : Close;
  table->mdGetModel = Mode("no-model") ? nullptr : GetModel;
  table->mdGetMediaList = Mode("no-list") ? nullptr : GetMediaList;
  return TRUE;
}
