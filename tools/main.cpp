// harbrite-sim: a simulated iPhone for Harbrite. `run` plays a scenario (the bundled demo when
// no file is given); `settings` shows or changes the settings pane against a device's files.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"
#include "hostsim/MainQueue.h"
#include "tools/DemoScenario.h"
#include "tools/Scenario.h"
#include "tools/ScenarioRunner.h"
#include "tools/SettingsCommand.h"

namespace {

int runCommand(const std::string& file, const harbrite::sim::RunOptions& options) {
  std::string name = file.empty() ? "demo.scn (bundled)" : file;
  std::string text;
  if (file.empty()) {
    text = harbrite::sim::kDemoScenario;
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::cerr << file << ":0: cannot read the scenario file\n";
      return 2;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  harbrite::sim::Scenario scenario;
  try {
    scenario = harbrite::sim::parseScenario(name, text);
  } catch (const harbrite::sim::ScenarioError& e) {
    std::cerr << e.what() << "\n";
    return 2;
  }
  hostsim::MainQueue::shared().setRealTime(options.realTime);
  return harbrite::sim::playScenario(scenario, options, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"harbrite-sim: a simulated iPhone running Harbrite"};
  app.require_subcommand(1);

  harbrite::sim::RunOptions runOptions;
  std::string scenarioFile;
  CLI::App* run = app.add_subcommand("run", "play a scenario (the bundled demo without FILE)");
  run->add_option("FILE", scenarioFile, "the scenario file");
  run->add_option("--device", runOptions.deviceRoot,
                  "the device's root folder, kept afterwards (default: a fresh temporary one)");
  run->add_flag("--real-time", runOptions.realTime, "let waits take real time");

  harbrite::sim::SettingsOptions settingsOptions;
  CLI::App* settings = app.add_subcommand("settings", "show or change the settings pane");
  settings->add_option("--device", settingsOptions.deviceRoot, "the device's root folder");
  CLI::App* set = settings->add_subcommand("set", "change the row whose key is KEY");
  set->add_option("KEY", settingsOptions.key)->required();
  set->add_option("VALUE", settingsOptions.value, "true, false, a number, \"text\" or [a, b]")
      ->required();
  CLI::App* reset = settings->add_subcommand("reset-vpn", "tap the reset row");

  CLI11_PARSE(app, argc, argv);
  try {
    if (run->parsed()) return runCommand(scenarioFile, runOptions);
    if (set->parsed()) settingsOptions.action = harbrite::sim::SettingsOptions::Action::Set;
    if (reset->parsed()) settingsOptions.action = harbrite::sim::SettingsOptions::Action::ResetVPN;
    return harbrite::sim::settingsCommand(settingsOptions, stdout);
  } catch (const std::exception& e) {
    std::cerr << "harbrite-sim: " << e.what() << "\n";
    return 2;
  }
}
