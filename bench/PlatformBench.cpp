// What the simulated platform itself costs: a file read and a file replace through the device
// sandbox beside the same plain system calls on the same file, and a whole simulated boot.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/Floors.h"
#include "bench/HostFloor.h"
#include "bench/Measure.h"
#include "host/PropertyList.h"
#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Timeline.h"

namespace {

using harbrite::bench::Loop;
using harbrite::bench::measured;
using harbrite::bench::rawRead;

host::Dictionary preferences() {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(false));
  d.set("enabledApplications",
        host::Value(host::Array{host::Value("com.example.mail"), host::Value("com.example.bank")}));
  return d;
}

void writeFile(const std::string& file, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// A device folder (not booted) holding the preferences file; the host path of that file.
struct SandboxedFile {
  SandboxedFile() : file(folder.host(folder->preferencesFile())) {
    hostsim::setTimelineSink(nullptr);
    writeFile(file, hostsim::encodeDictionary(preferences()));
    contents = rawRead(file);
  }
  harbrite::bench::MemoryDevice folder;
  std::string file;
  std::string contents;
};

// ---- A file read whole, as every read of the system's files is done -------------------------

void sandboxRead(Loop& loop) {
  SandboxedFile f;
  loop.run([&] {
    std::string bytes;
    benchmark::DoNotOptimize(hostsim::readWholeFile(f.file, bytes));
    benchmark::DoNotOptimize(bytes);
  });
}

void sandboxReadKernel(Loop& loop) {
  SandboxedFile f;
  loop.run([&] { benchmark::DoNotOptimize(rawRead(f.file)); });
}

// ---- A file replaced atomically ----------------------------------------------------------------

void sandboxReplace(Loop& loop) {
  SandboxedFile f;
  loop.run([&] { benchmark::DoNotOptimize(hostsim::replaceFileAtomically(f.file, f.contents)); });
}

void sandboxReplaceKernel(Loop& loop) {
  SandboxedFile f;
  loop.run([&] { harbrite::bench::rawAtomicReplace(f.file, f.contents); });
}

// ---- A simulated boot ------------------------------------------------------------------------
// In a process of its own each time, as harbrite-sim boots (bench/Measure.h); booted in one
// process, the classes of every boot after the first would be registered under new names
// ("SpringBoard~2"), and the runtime's work would grow with each.

// The whole boot: SpringBoard's classes, the device's layout, the engine copied, loaded, and
// installed by its initialiser from the preferences it reads.
void boot(Loop& loop) {
  harbrite::bench::perStartUp(loop, [] {
    auto f = std::make_shared<harbrite::bench::MemoryDevice>();
    hostsim::setTimelineSink(nullptr);
    writeFile(f->host((*f)->preferencesFile()), hostsim::encodeDictionary(preferences()));
    return [f] { (*f)->boot(); };
  });
}

// The same boot with the engine finding no preferences, then what its start-up asks of the
// platform done by the floor: the same preferences read (a copy beside the file the engine looks
// for) and the same methods added to SpringBoard.
void bootHost(Loop& loop) {
  harbrite::bench::perStartUp(loop, [] {
    auto f = std::make_shared<harbrite::bench::MemoryDevice>();
    hostsim::setTimelineSink(nullptr);
    const std::string copy = (*f)->preferencesFile() + ".floor";
    writeFile(f->host(copy), hostsim::encodeDictionary(preferences()));
    return [f, copy] {
      (*f)->boot();
      benchmark::DoNotOptimize(host::readDictionary(copy));
      harbrite::bench::installSilently(host::objc_getClass("SpringBoard"));
    };
  });
}

// A boot's file work with plain system calls: BackBoardServices and the engine copied from the
// build into the device (each a temporary renamed into place), the device's mark written, the
// engine's device copy read back and compared with the build's, its private copy written and
// removed, and the preferences read; each library read into a buffer of its size. The loader's
// work (mapping the libraries) is not in it.
void bootKernel(Loop& loop) {
  harbrite::bench::perStartUp(loop, [] {
    auto f = std::make_shared<harbrite::bench::MemoryDevice>();
    const hostsim::Payload payload = hostsim::Payload::built();
    const std::string backboard =
        f->host("/System/Library/PrivateFrameworks/BackBoardServices.framework/BackBoardServices");
    const std::string engine = f->host("/var/jb/Library/MobileSubstrate/DynamicLibraries/x.dylib");
    std::filesystem::create_directories(std::filesystem::path(backboard).parent_path());
    std::filesystem::create_directories(std::filesystem::path(engine).parent_path());
    const std::string prefs = f->host((*f)->preferencesFile());
    writeFile(prefs, hostsim::encodeDictionary(preferences()));
    const std::size_t backboardSize = std::filesystem::file_size(payload.backboardServices);
    const std::size_t engineSize = std::filesystem::file_size(payload.engine);
    return [f, payload, backboard, engine, prefs, backboardSize, engineSize] {
      using namespace harbrite::bench;
      rawPut(backboard, rawReadSized(payload.backboardServices, backboardSize));
      rawPut(f->host("/.harbrite-device"), "harbrite-sim device\nlibroot none\n");
      rawPut(engine, rawReadSized(payload.engine, engineSize));
      const std::string shown = rawReadSized(engine, engineSize);
      benchmark::DoNotOptimize(shown == rawReadSized(payload.engine, engineSize));
      const std::string copy = "/tmp/harbrite-bench-copy." + std::to_string(::getpid());
      rawWrite(copy, shown);
      ::unlink(copy.c_str());
      benchmark::DoNotOptimize(rawRead(prefs));
    };
  });
}

const bool registered = [] {
  using harbrite::bench::measuredPerStartUp;
  // The boots come first, while this process has booted nothing: each forks from it.
  measuredPerStartUp("boot", 3, boot);
  measuredPerStartUp("boot.host", 3, bootHost);
  measuredPerStartUp("boot.kernel", 3, bootKernel);
  measured("sandbox_read", 200, sandboxRead);
  measured("sandbox_read.kernel", 200, sandboxReadKernel);
  measured("sandbox_replace", 20, sandboxReplace);
  measured("sandbox_replace.kernel", 20, sandboxReplaceKernel);
  return true;
}();

}  // namespace
