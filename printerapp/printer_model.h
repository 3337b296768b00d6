// SPDX-License-Identifier: Apache-2.0
// The TQ-33 as the printer application describes it to IPP clients: the installation it
// prints on, the driver's default settings and media catalog, and every medium as IPP
// names and measures it. One model serves the whole process, since the host's Windows
// root, where the installation lives, is the process's.
//
// Through IPP a medium is portrait: x across the tape (the tape's width), y along it (a
// label's length; for continuous tape the length of the page the queue prints by
// default, any length up to the tape's longest being asked for by size). Its name is a
// PWG self-describing size name that keeps its identity, om_<short-name>_<W>x<L>mm, and
// its media type is the CUPS queue's (tape, labels, paper-tape, special-tape,
// ...-N-across), so that the queue and the application agree.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cli/installation.h"
#include "context/settings_record.h"
#include "cups/media_catalog.h"

namespace tq33app {

// PWG size names are at most this long: the framework keeps them in 64 bytes.
inline constexpr size_t kMaxMediaNameLength = 63;

// Margins of a page: where the driver prints nothing, hundredths of a millimetre.
struct Margins {
  int left = 0;    // across the tape, at either edge
  int right = 0;
  int top = 0;     // along the tape, before and after the printable length
  int bottom = 0;
};

struct IppMedium {
  tq33cups::MediaChoice choice;  // the medium as the driver knows it
  std::string name;              // om_<short-name>_<W>x<L>mm, unique
  int width = 0;                 // across the tape, hundredths of a millimetre
  int length = 0;                // along the tape: the label's, or tape's default page
  int minLength = 0;             // the shortest and longest page it prints: a label's
  int maxLength = 0;             // own length, for tape the driver's limits
  Margins margins;               // of its page at 360 dpi, as the driver computes them
};

// A size in hundredths of a millimetre in millimetres to a tenth: "24", "3.5", "18.1".
std::string MillimetreFigure(int hundredths);

class PrinterModel {
 public:
  // Sets up the installation (empty directory: the one built into the program), learns
  // the driver's defaults and measures every medium. Null with the reason in error when
  // the installation cannot be made or the driver refuses it.
  static std::unique_ptr<PrinterModel> Create(const std::string& installDirectory,
                                              std::string* error);

  const SettingsRecord& defaults() const { return defaults_; }
  const std::vector<tq33cups::MediaChoice>& catalog() const { return catalog_; }
  const std::vector<IppMedium>& media() const { return media_; }
  // The installation's default medium (the driver's default paper size).
  const IppMedium& defaultMedium() const { return media_[defaultIndex_]; }
  // The medium of a name, or null.
  const IppMedium* Find(std::string_view name) const;
  // "Tolvane TQ-33": the maker and the model record's name.
  const std::string& makeAndModel() const { return makeAndModel_; }
  // Whether the installation prints 720 dpi along the tape.
  bool highResolution() const { return defaults_.priv.privHighResAllowed != 0; }
  // The margins every medium keeps at least: the framework gives all media one set.
  const Margins& commonMargins() const { return commonMargins_; }
  // The narrowest and widest tape, and the longest page of any medium, hundredths of a
  // millimetre; the shortest page of any tape.
  int minWidth() const { return minWidth_; }
  int maxWidth() const { return maxWidth_; }
  int minLength() const { return minLength_; }
  int maxLength() const { return maxLength_; }
  // The media types of the catalog, each once; the size names of the range of pages the
  // tapes print (roll_min_..., roll_max_...), empty without tape.
  const std::vector<std::string>& mediaTypes() const { return mediaTypes_; }
  const std::string& rollMin() const { return rollMin_; }
  const std::string& rollMax() const { return rollMax_; }

  // The host printer the jobs of the application's printer `id` print through, registered
  // on first use: each printer has its own, so that the bytes of jobs printing at the
  // same time never meet. Null when the host cannot register it.
  HANDLE HostPrinter(int id);

 private:
  PrinterModel() = default;
  bool Describe(std::string* error);

  std::unique_ptr<tq33cli::ToolInstallation> installation_;
  SettingsRecord defaults_{};
  std::vector<tq33cups::MediaChoice> catalog_;
  std::vector<IppMedium> media_;
  size_t defaultIndex_ = 0;
  std::string makeAndModel_;
  Margins commonMargins_;
  int minWidth_ = 0, maxWidth_ = 0, minLength_ = 0, maxLength_ = 0;
  std::vector<std::string> mediaTypes_;
  std::string rollMin_, rollMax_;
  std::mutex printersLock_;
  std::map<int, HANDLE> printers_;
};

// The framework's callbacks reach the model through the data pointer they are given.
struct Application {
  std::unique_ptr<PrinterModel> model;
  std::mutex pagesLock;
  std::map<std::string, int> labelPages;  // the Labels page of each printer: path -> printer id
};

}  // namespace tq33app
