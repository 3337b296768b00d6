// SPDX-License-Identifier: Apache-2.0
// The tool's commands. Each adds its subcommand to the application; when the command line
// selects it, its callback hands main the function that runs it.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace tq33cli {

using SetRun = std::function<void(std::function<int()>)>;

void AddPrintCommand(CLI::App* app, SetRun setRun);
void AddInfoCommand(CLI::App* app, SetRun setRun);
void AddMediaCommand(CLI::App* app, SetRun setRun);
void AddDecodeCommand(CLI::App* app, SetRun setRun);
void AddPpdCommand(CLI::App* app, SetRun setRun);

}  // namespace tq33cli
