// What the settings pane's root page costs the Settings app's main thread to read and to write
// one value, beside its floors (bench/Measure.h): a read or a replace of the preferences file
// through the same codec and the same messages, and the same file work with plain system calls.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/Floors.h"
#include "bench/HostFloor.h"
#include "bench/Measure.h"
#include "host/Foundation.h"
#include "host/Runtime.h"
#include "hostsim/Device.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"

namespace {

using harbrite::bench::Loop;
using harbrite::bench::measured;

// A device whose preferences file holds a realistic set of settings, and the Settings app open
// on the pane's root page.
struct BenchPane {
  BenchPane() : device(*folder), app(device.root()) {
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
  harbrite::bench::MemoryDevice folder;
  hostsim::Device& device;
  hostsim::SettingsApp app;
  std::string file;
  host::StrongRef row;
};

void paneRead(Loop& loop) {
  BenchPane pane;
  host::SEL read = host::sel_registerName("readPreferenceValue:");
  loop.run([&] {
    // The Settings app reads a row's value inside its run loop's pool.
    host::AutoreleasePool pool;
    benchmark::DoNotOptimize(
        host::msgSend<host::id, host::id>(pane.app.rootController(), read, pane.row.get()));
  });
}

void paneReadHost(Loop& loop) {
  BenchPane pane;
  const harbrite::bench::SettingsFloor floor(pane.device.preferencesFile());
  loop.run([&] {
    host::AutoreleasePool pool;
    benchmark::DoNotOptimize(floor.readValue(pane.row.get()));
  });
}

void paneReadKernel(Loop& loop) {
  BenchPane pane;
  loop.run([&] { benchmark::DoNotOptimize(harbrite::bench::rawRead(pane.file)); });
}

void paneWrite(Loop& loop) {
  BenchPane pane;
  host::SEL write = host::sel_registerName("setPreferenceValue:specifier:");
  std::int64_t n = 0;
  loop.run([&] {
    host::AutoreleasePool pool;
    const host::StrongRef value = host::propertyListFromValue(host::Value(++n));
    host::msgSend<void, host::id, host::id>(pane.app.rootController(), write, value.get(),
                                            pane.row.get());
  });
}

void paneWriteHost(Loop& loop) {
  BenchPane pane;
  const harbrite::bench::SettingsFloor floor(pane.device.preferencesFile());
  std::int64_t n = 0;
  loop.run([&] {
    host::AutoreleasePool pool;
    const host::StrongRef value = host::propertyListFromValue(host::Value(++n));
    floor.writeValue(value.get(), pane.row.get());
  });
}

void paneWriteKernel(Loop& loop) {
  BenchPane pane;
  const std::string contents = harbrite::bench::rawRead(pane.file);
  loop.run([&] {
    benchmark::DoNotOptimize(harbrite::bench::rawRead(pane.file));
    harbrite::bench::rawAtomicReplace(pane.file, contents);
  });
}

const bool registered = [] {
  measured("pane_read", 200, paneRead);
  measured("pane_read.host", 200, paneReadHost);
  measured("pane_read.kernel", 200, paneReadKernel);
  measured("pane_write", 20, paneWrite);
  measured("pane_write.host", 20, paneWriteHost);
  measured("pane_write.kernel", 20, paneWriteKernel);
  return true;
}();

}  // namespace
