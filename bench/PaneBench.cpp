// What the settings pane's root page costs the Settings app's main thread to read and to write
// one value, beside the raw file work each must do.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bench/Floors.h"
#include "host/Foundation.h"
#include "host/Runtime.h"
#include "hostsim/Device.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"

namespace {

// A device whose preferences file holds a realistic set of settings, and the Settings app open
// on the pane's root page.
struct BenchPane {
  BenchPane() : device(), app(device.root()) {
    hostsim::setTimelineSink(nullptr);
    host::Dictionary prefs;
    host::Array apps;
    for (int i = 0; i < 12; ++i) apps.emplace_back("com.example.app" + std::to_string(i));
    prefs.set("enabledApplications", host::Value(std::move(apps)));
    prefs.set("usePersistMode", host::Value(false));
    prefs.set("benchKey", host::Value(std::int64_t{1}));
    file = device.root() + device.preferencesFile();
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << hostsim::encodeDictionary(prefs);
    app.open();
    // A plain row: a key, no notification, no group.
    host::Dictionary properties;
    properties.set("cell", host::Value("PSEditTextCell"));
    properties.set("key", host::Value("benchKey"));
    row = app.makeSpecifier(std::move(properties), app.rootController());
  }
  hostsim::Device device;
  hostsim::SettingsApp app;
  std::string file;
  host::StrongRef row;
};

void pane_read(benchmark::State& state) {
  BenchPane pane;
  host::SEL read = host::sel_registerName("readPreferenceValue:");
  for (auto _ : state) {
    // The Settings app reads a row's value inside its run loop's pool.
    host::AutoreleasePool pool;
    benchmark::DoNotOptimize(
        host::msgSend<host::id, host::id>(pane.app.rootController(), read, pane.row.get()));
  }
}

void pane_read_floor(benchmark::State& state) {
  BenchPane pane;
  for (auto _ : state) benchmark::DoNotOptimize(harbrite::bench::rawRead(pane.file));
}

void pane_write(benchmark::State& state) {
  BenchPane pane;
  host::SEL write = host::sel_registerName("setPreferenceValue:specifier:");
  std::int64_t n = 0;
  for (auto _ : state) {
    host::AutoreleasePool pool;
    const host::StrongRef value = host::propertyListFromValue(host::Value(++n));
    host::msgSend<void, host::id, host::id>(pane.app.rootController(), write, value.get(),
                                            pane.row.get());
  }
}

void pane_write_floor(benchmark::State& state) {
  BenchPane pane;
  const std::string contents = harbrite::bench::rawRead(pane.file);
  for (auto _ : state) {
    benchmark::DoNotOptimize(harbrite::bench::rawRead(pane.file));
    harbrite::bench::rawAtomicReplace(pane.file, contents);
  }
}

}  // namespace

BENCHMARK(pane_read);
BENCHMARK(pane_read_floor);
BENCHMARK(pane_write);
BENCHMARK(pane_write_floor);
