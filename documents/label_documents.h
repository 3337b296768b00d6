// SPDX-License-Identifier: Apache-2.0
// Label documents as an application prints them: label settings given as an application's
// settings record, pages of a test pattern, documents whose settings change between pages
// (the engine's DrvResetPDEV), and a runner that prints one through the engine harness
// call by call, noting after every DDI call what the spooler holds and whether a planned
// host failure has struck.
//
// The reliability tests print them under planned failures and on many threads; the
// comparison under Wine (wine/) prints the same documents through the Windows DLL and
// through the Linux build. This unit builds on both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine_session.h"

namespace tq33docs {

using Bytes = std::vector<uint8_t>;

// What a document asks of the driver through the application's settings record.
struct LabelSettings {
  SHORT paperSize = 262;      // laminated tape 24 mm
  SHORT paperLength = 250;    // tenths of a millimetre, for continuous tape
  bool landscape = false;
  bool highResolution = false;  // 720 dots per inch along the tape
  bool smallChar = false;       // twice the dots across the head at 720 dpi
  BYTE halftone = 2;            // 1 threshold, 2 ordered, 3 error diffusion
  SHORT copies = 1;
  bool framed = false;          // job records in front of every page
  bool retain = false;          // hold the pages back for the next page printed
  bool retainLines = false;     // a held page adds only its raster lines to the chain
};

// The driver's own settings record for a printer of the installation at driverPath (no
// application record): the base every test record is made from. Empty on failure.
Bytes DefaultSettingsRecord(std::u16string_view driverPath, HANDLE printer);

// The application's record: base with the fields of settings set and marked.
Bytes SettingsRecordFor(const Bytes& base, const LabelSettings& settings);

// A run of pages printed with one set of settings.
struct DocumentPart {
  LabelSettings settings;
  int pages = 1;
};

// White with black bars placed by seed and, when gray, a ramp over the lower half. Pages
// without gray print the same whatever state the error diffusion is in.
host::GrayImage TestPage(SIZEL size, int seed, bool gray = true);

// A document: its first part opens the context, every later part changes the settings
// with a reset between pages. Page images are TestPage(page size, seed) with seeds from
// firstSeed on.
struct Document {
  std::string name;
  std::vector<DocumentPart> parts;
  int firstSeed = 0;
};

// One harness call of a run and what followed it.
struct RunStep {
  std::string call;           // "open", "StartDoc", "StartPage", "RenderPage", "SendPage",
                              // "Reset", "EndDoc", "abort"
  host::DdiStatus status;
  size_t spooledAfter = 0;    // bytes the spooler held after the call
  uint64_t writesAfter = 0;   // WritePrinter calls on the printer by then
  uint64_t callsAfter = 0;    // fallible host calls made by then, since ClearFailures
  uint64_t struckBefore = 0;  // planned failures struck before the call
  uint64_t struckAfter = 0;
  // For a banded RenderPage: failures struck when the driver handed out the band on which
  // the failing band call was made (the failure must strike inside that call).
  uint64_t struckAtLastBand = 0;
};

struct DocumentRun {
  std::vector<RunStep> steps;
  bool failed = false;        // a call failed and the document was aborted
  size_t failedStep = 0;      // index of the failed step
  Bytes spooled;              // what the spooler holds at the end
};

// Prints the document the way the engine does, on the printer of the installation at
// driverPath: open, StartDoc, for every page StartPage, the rendering (bands on a banded
// surface) and SendPage, resets between parts, EndDoc, close. At the first call that
// fails the engine gives up: it ends the document with the abort flag (when one is open)
// and closes the session. The spooled bytes are taken (and cleared) at the end.
DocumentRun RunDocument(std::u16string_view driverPath, HANDLE printer, const Bytes& base,
                        const Document& document);

}  // namespace tq33docs
