#include "tools/SettingsCommand.h"

#include <string>

#include "hostsim/Device.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

namespace {

// One line a row, as the page shows it: groups as headings, the rows of a group indented, and
// the rows that a group switch owns indented once more.
std::string describeRow(const hostsim::SettingsRow& row) {
  if (row.cell == "PSGroupCell") return "== " + row.label + " ==";
  std::string line = row.label.empty() ? "(" + row.cell + ")" : row.label;
  if (!row.key.empty()) line += "  [" + row.key + "]";
  if (row.picker) {
    std::string chosen;
    if (const host::Array* apps = row.value.asArray()) {
      for (const host::Value& app : *apps) {
        const std::string* id = app.asString();
        chosen += (chosen.empty() ? "" : ", ") + (id != nullptr ? *id : formatValue(app));
      }
    }
    line += "  picker: " + (chosen.empty() ? std::string("none chosen") : chosen);
  } else if (row.cell == "PSSwitchCell") {
    line += row.value.boolValue() ? "  on" : "  off";
  } else if (!row.value.isNone()) {
    line += "  " + formatValue(row.value);
  }
  if (row.groupSwitch) line += "  (group switch)";
  if (!row.action.empty()) line += "  (button: " + row.action + ")";
  return line;
}

void printRows(hostsim::SettingsApp& app, std::FILE* out) {
  for (const hostsim::SettingsRow& row : app.rows()) {
    const int indent = (row.cell == "PSGroupCell" ? 0 : 1) + row.depth;
    const std::string line =
        std::string(static_cast<std::size_t>(indent) * 2, ' ') + describeRow(row);
    std::fprintf(out, "%s\n", line.c_str());
  }
}

}  // namespace

int settingsCommand(const SettingsOptions& options, std::FILE* out) {
  hostsim::Device device(options.deviceRoot);
  hostsim::setTimelineSink(
      [out](const std::string& event) { std::fprintf(out, "  %s\n", event.c_str()); });
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
