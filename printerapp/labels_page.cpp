// SPDX-License-Identifier: Apache-2.0
// The Labels page: media by name, and the printer's own settings.
#include "printerapp/labels_page.h"

#include <cstring>
#include <string>

#include "printerapp/guarded.h"
#include "printerapp/printer_driver.h"

namespace tq33app {
namespace {

// The printer's own settings as the page names them.
struct Setting {
  const char* attribute;
  const char* label;
};
constexpr Setting kSettings[] = {
    {kAutoCutAttribute, "Cut after each label"},
    {kHalfCutAttribute, "Half cut (the backing stays whole)"},
    {kChainPrintAttribute, "Chain printing (no feed after the last label)"},
    {kMirrorAttribute, "Mirror image"},
};

// The form's changes: the medium to load and the settings' defaults. The message for the
// page's banner.
std::string Save(pappl_client_t* client, pappl_printer_t* printer, const PrinterModel& model) {
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  std::string message;
  if (!papplClientIsValidForm(client, count, form)) {
    message = "Invalid form submission.";
  } else if (const IppMedium* medium = model.Find(cupsGetOption("medium", count, form) ? cupsGetOption("medium", count, form) : "")) {
    cups_option_t* vendor = nullptr;
    int settings = 0;
    for (const Setting& setting : kSettings) {
      settings = cupsAddOption(setting.attribute, cupsGetOption(setting.attribute, count, form) ? "true" : "false",
                               settings, &vendor);
    }
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    const bool saved = papplPrinterSetDriverDefaults(printer, &data, settings, vendor) &&
                       LoadMedium(printer, model, *medium);
    cupsFreeOptions(settings, vendor);
    message = saved ? "Changes saved." : "The printer refused the changes.";
  } else {
    message = "Choose a medium of the list.";
  }
  cupsFreeOptions(count, form);
  return message;
}

// The page: the form, then the table of media.
void Show(pappl_client_t* client, pappl_printer_t* printer, const PrinterModel& model, const std::string& message) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const IppMedium* loaded = model.Find(data.media_ready[0].size_name);
  cups_option_t* vendor = nullptr;
  const int settings = VendorDefaults(printer, &vendor);

  papplClientHTMLPrinterHeader(client, printer, "Labels", 0, nullptr, nullptr);
  if (!message.empty()) papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", message.c_str());
  papplClientHTMLPuts(client, "<div class=\"row\"><div class=\"col-12\">\n");
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n<tr><th>Loaded:</th><td><select name=\"medium\">\n");
  for (const IppMedium& medium : model.media()) {
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>\n", medium.name.c_str(),
                          &medium == loaded ? " selected" : "", medium.choice.name.c_str());
  }
  papplClientHTMLPuts(client, "</select></td></tr>\n");
  for (const Setting& setting : kSettings) {
    const char* value = cupsGetOption(setting.attribute, settings, vendor);
    papplClientHTMLPrintf(client, "<tr><th>%s:</th><td><input type=\"checkbox\" name=\"%s\"%s></td></tr>\n",
                          setting.label, setting.attribute, value && std::strcmp(value, "true") == 0 ? " checked" : "");
  }
  papplClientHTMLPuts(client,
                      "<tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
                      "</tbody></table></form>\n<h2 class=\"title\">Media</h2>\n<table class=\"list\"><thead><tr>"
                      "<th>Medium</th><th>Size (mm)</th><th>Printable (mm)</th><th>Type</th><th>IPP name</th>"
                      "</tr></thead><tbody>\n");
  for (const IppMedium& medium : model.media()) {
    const Margins& m = medium.margins;
    const std::string size = MillimetreFigure(medium.width) + " x " +
                             (medium.choice.continuous() ? "up to " + MillimetreFigure(medium.maxLength)
                                                         : MillimetreFigure(medium.length));
    const std::string printable = MillimetreFigure(medium.width - m.left - m.right) + " x " +
                                  MillimetreFigure(medium.length - m.top - m.bottom);
    papplClientHTMLPrintf(client, "<tr><td>%s%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n",
                          medium.choice.name.c_str(), &medium == loaded ? " (loaded)" : "", size.c_str(),
                          printable.c_str(), medium.choice.mediaTypeText.c_str(), medium.name.c_str());
  }
  papplClientHTMLPuts(client, "</tbody></table>\n</div></div>\n");
  papplClientHTMLPrinterFooter(client);
  cupsFreeOptions(settings, vendor);
}

// The resource callback: GET shows the page, POST saves the form first.
bool Respond(pappl_client_t* client, void* data) {
  auto* application = static_cast<Application*>(data);
  const std::string path = papplClientGetURI(client);
  int id = 0;
  {
    std::lock_guard<std::mutex> lock(application->pagesLock);
    auto found = application->labelPages.find(path);
    if (found != application->labelPages.end()) id = found->second;
  }
  pappl_printer_t* printer = id ? papplSystemFindPrinter(papplClientGetSystem(client), nullptr, id, nullptr) : nullptr;
  if (!printer) return false;
  std::string message;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    if (!papplClientHTMLAuthorize(client)) return true;
    message = Save(client, printer, *application->model);
  }
  Show(client, printer, *application->model, message);
  return true;
}

}  // namespace

void AddLabelsPage(pappl_printer_t* printer, Application* application) {
  char path[256];
  if (!papplPrinterGetPath(printer, "labels", path, sizeof(path))) return;
  {
    std::lock_guard<std::mutex> lock(application->pagesLock);
    application->labelPages[path] = papplPrinterGetID(printer);
  }
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", Guarded<Respond>, application);
  papplPrinterAddLink(printer, "Labels", path, PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS);
}

}  // namespace tq33app
