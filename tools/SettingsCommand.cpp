#include "tools/SettingsCommand.h"

#include <string>

#include "hostsim/Device.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

namespace {

void printRows(hostsim::SettingsApp& app, std::FILE* out) {
  for (const hostsim::SettingsRow& row : app.rows()) {
    std::string line(static_cast<std::size_t>(row.depth) * 2, ' ');
    if (row.cell == "PSGroupCell") {
      line += "== " + row.label + " ==";
    } else {
      line += row.label.empty() ? "(" + row.cell + ")" : row.label;
      if (!row.key.empty()) line += "  [" + row.key + "]";
      if (!row.value.isNone()) line += "  " + formatValue(row.value);
      if (row.groupSwitch) line += "  (group switch)";
    }
    std::fprintf(out, "%s\n", line.c_str());
  }
}

}  // namespace

int settingsCommand(const SettingsOptions& options, std::FILE* out) {
  hostsim::Device device(options.deviceRoot);
  hostsim::setTimelineSink([out](const std::string& event) { std::fprintf(out, "  %s\n", event.c_str()); });
  hostsim::SettingsApp app(device.root());
  app.open();
  int status = 0;
  if (options.action == SettingsOptions::Action::Set) {
    app.set(options.key, parseValue(options.value));
  } else if (options.action == SettingsOptions::Action::ResetVPN) {
    const bool ok = app.resetVPN();
    std::fprintf(out, "reset %s\n", ok ? "done" : "failed");
    status = ok ? 0 : 1;
  }
  printRows(app, out);
  hostsim::setTimelineSink(nullptr);
  return status;
}

}  // namespace harbrite::sim
