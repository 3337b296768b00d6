// SPDX-License-Identifier: Apache-2.0
// The driver data file: a text file that describes printer models and the media each of
// them takes. The model-data library reads it for the driver; the tq33 tool checks it.
//
// The format is documented in docs/model-data.md. In short: '#' starts a comment, a
// "[model N]" section gives one model's defaults, and every "[medium]" section after it
// adds one medium to that model's list, in list order, as "field = value" lines. Sizes are
// whole numbers in tenths of a millimetre and in dots at 360 dots per inch.
//
// A file holds one or more models. N, the model's number, is what the library's selector
// argument means: the driver's selector 1 asks for the model declared as "[model 1]".
#pragma once

#include <string>
#include <vector>

#include "platform/model_data_api.h"
#include "platform/platform.h"

// Limits on what a data file may hold; anything beyond them is refused as malformed.
inline constexpr DWORD kModelDataFileMaxBytes = 262144;  // a larger file is refused unread
inline constexpr DWORD kModelDataLineMaxBytes = 512;     // one line, without its line end
inline constexpr DWORD kModelDataMaxModels = 16;         // models in one file
inline constexpr DWORD kModelDataMaxSelector = 255;      // model numbers run from 1 to this
inline constexpr DWORD kModelDataMaxMedia = 512;         // media of one model
inline constexpr DWORD kModelDataHeadDots = 384;         // dots across the print head

// One model of a data file.
struct ModelDataModel {
  DWORD selector = 0;                 // the N of "[model N]"
  DWORD line = 0;                     // line of its section header
  ModelRecord record{};               // the 118-byte model record, reserved bytes zero
  std::vector<MediaListEntry> media;  // its media list in file order, reserved bytes zero
};

// Everything a data file holds, in file order.
struct ModelDataFile {
  std::vector<ModelDataModel> models;
};

// The first fault found in a data file.
struct ModelDataError {
  DWORD line = 0;    // line of the fault, from 1; 0 when it concerns the whole file
  std::string text;  // what is wrong, e.g. "unknown field 'widht'"
  bool outOfMemory = false;  // the process ran short of memory: nothing wrong with the file

  // "line 12: unknown field 'widht'", or the text alone for a fault of the whole file.
  std::string Describe() const;
};

// Parses and checks a whole data file of size bytes. TRUE with file filled; FALSE with
// the first fault in error (when given) and file emptied. Never reads outside bytes.
BOOL ParseModelDataFile(const BYTE* bytes, size_t size, ModelDataFile* file,
                        ModelDataError* error);

// The model with this selector, or null when the file has none.
const ModelDataModel* FindModelData(const ModelDataFile* file, DWORD selector);
