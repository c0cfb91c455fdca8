// DNMRootListController: values live in the preferences file, each change rewrites it whole and
// then posts the row's Darwin notification; the page collapses its groups from the file.
#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/dunmereprefs/PaneFixture.h"
#include "tests/reliability/Files.h"

namespace harbrite::test {
namespace {

class RootSettings : public PaneFixture {
 protected:
  id page() { return app.rootController(); }
  host::StrongRef row(host::Dictionary properties) {
    return app.makeSpecifier(std::move(properties), page());
  }
  host::StrongRef keyed(const std::string& key,
                        std::initializer_list<std::pair<const char*, host::Value>> more = {}) {
    host::Dictionary d = item(key, more);
    d.set("key", host::Value(key));
    return row(std::move(d));
  }
  void set(id specifier, const host::Value& value) { setValue(page(), &value, specifier); }
  // Position of the first timeline event containing `part`, or -1.
  long eventAt(const std::string& part, std::size_t from = 0) const {
    const auto& e = device.events();
    for (std::size_t i = from; i < e.size(); ++i) {
      if (e[i].find(part) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
  }
};

TEST_F(RootSettings, WithoutAReadableFileRowsShowDefaultsAndAChangeStartsAfresh) {
  host::StrongRef withDefault = keyed("a", {{"default", 5}});
  host::StrongRef without = keyed("b");
  for (const char* bytes : {"", "not a property list", "<plist><array/></plist>"}) {
    if (*bytes != '\0') device.writePrefsBytes(bytes);
    EXPECT_EQ(readValue(page(), withDefault.get()), host::Value(5)) << bytes;
    EXPECT_TRUE(readValue(page(), without.get()).isNone()) << bytes;
    set(without.get(), host::Value("x"));
    host::Dictionary expected;
    expected.set("b", host::Value("x"));
    EXPECT_EQ(prefsFile(), expected) << bytes;
  }
}

// A file that exists but cannot be read is never written over: its settings would be lost.
// A missing file is created; a malformed one is replaced (above).
TEST_F(RootSettings, AFileThatCannotBeReadIsNeverWrittenOver) {
  struct FailingReads : hostsim::FileLayerWrapper {
    explicit FailingReads(int error, bool atOpen)
        : FileLayerWrapper(hostsim::posixFileLayer()), error(error), atOpen(atOpen) {
      hostsim::setFileLayer(this);
    }
    ~FailingReads() override { hostsim::setFileLayer(nullptr); }
    int open(const char* path, int flags, mode_t mode) override {
      if (atOpen && (flags & O_ACCMODE) == O_RDONLY && std::string(path).ends_with(".plist")) {
        errno = error;
        return -1;
      }
      return FileLayerWrapper::open(path, flags, mode);
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override {
      if (atOpen) return FileLayerWrapper::read(fd, buffer, size);
      errno = error;
      return -1;
    }
    int error;
    bool atOpen;
  };
  host::Dictionary file;
  file.set("enabledApplications", host::Value(host::Array{host::Value("com.example.a")}));
  device.writePrefs(file);
  const std::string before = bytesOf(device.hostFile(device.preferencesFile()));
  host::StrongRef persist = keyed("usePersistMode");
  for (const auto& [error, atOpen] : {std::pair{EIO, false}, std::pair{EACCES, true}}) {
    SCOPED_TRACE(error);
    FailingReads failing(error, atOpen);
    set(persist.get(), host::Value(true));
    EXPECT_EQ(bytesOf(device.hostFile(device.preferencesFile())), before);
  }
  set(persist.get(), host::Value(true));  // readable again: the change goes through
  file.set("usePersistMode", host::Value(true));
  EXPECT_EQ(prefsFile(), file);

  // A folder where the file should be stays a folder.
  std::filesystem::remove(device.hostFile(device.preferencesFile()));
  std::filesystem::create_directory(device.hostFile(device.preferencesFile()));
  set(persist.get(), host::Value(false));
  EXPECT_TRUE(std::filesystem::is_directory(device.hostFile(device.preferencesFile())));
  std::filesystem::remove(device.hostFile(device.preferencesFile()));

  // No file at all: the change creates it.
  set(persist.get(), host::Value(false));
  host::Dictionary alone;
  alone.set("usePersistMode", host::Value(false));
  EXPECT_EQ(prefsFile(), alone);
}

TEST_F(RootSettings, ChangesKeepEveryOtherEntryAndFollowOneAnother) {
  host::Dictionary file;
  file.set("enabledApplications", host::Value(host::Array{host::Value("com.example.a")}));
  file.set("unread", host::Value(host::Dictionary{}));
  device.writePrefs(file);
  set(keyed("usePersistMode").get(), host::Value(true));
  set(keyed("other").get(), host::Value(2));
  file.set("usePersistMode", host::Value(true));
  file.set("other", host::Value(2));
  EXPECT_EQ(prefsFile(), file);
}

// Dates in whole seconds: the XML encoding keeps no fractions of a second.
TEST_F(RootSettings, ValuesAreWrittenAsPassedAndReadBackUnchanged) {
  host::Dictionary nested;
  nested.set("k", host::Value(host::Array{host::Value(1), host::Value("two")}));
  host::StrongRef specifier = keyed("v", {{"default", "fallback"}});
  for (const host::Value& value :
       {host::Value(false), host::Value(-7), host::Value(2.5), host::Value("text"),
        host::Value(host::Data{0, 255}), host::Value(host::Date{123.0}),
        host::Value(host::Array{host::Value("com.example.a"), host::Value(true)}),
        host::Value(nested)}) {
    set(specifier.get(), value);
    EXPECT_EQ(readValue(page(), specifier.get()), value);
    EXPECT_EQ(*prefsFile()->find("v"), value);
  }
  setValue(page(), nullptr, specifier.get());  // no value removes the entry
  EXPECT_EQ(prefsFile()->find("v"), nullptr);
  EXPECT_EQ(readValue(page(), specifier.get()), host::Value("fallback"));
}

TEST_F(RootSettings, EachChangePostsItsRowsNotificationOnceAfterTheWrite) {
  host::StrongRef named = keyed("usePersistMode", {{"PostNotification", "com.example/changed"}});
  host::StrongRef silent = keyed("quiet");
  set(named.get(), host::Value(true));
  EXPECT_EQ(notifications(), std::vector<std::string>{"com.example/changed"});
  EXPECT_LT(eventAt("wrote "), eventAt("posted Darwin notification"));
  set(silent.get(), host::Value(true));
  EXPECT_EQ(notifications().size(), 1u);

  // A failed write leaves the file as it was; the notification still follows the attempt.
  const std::size_t before = device.events().size();
  {
    FailingRenames failing;
    set(named.get(), host::Value(false));
  }
  EXPECT_EQ(prefsFile()->find("usePersistMode")->boolValue(), true);
  EXPECT_EQ(notifications().size(), 2u);
  EXPECT_LT(eventAt("failed to write ", before), eventAt("posted Darwin notification", before));
}

TEST_F(RootSettings, ARowWithoutKeyReadsItsDefaultAndIgnoresChanges) {
  host::StrongRef keyless = row(item("Keyless", {{"default", "d"}, {"PostNotification", "n"}}));
  EXPECT_EQ(readValue(page(), keyless.get()), host::Value("d"));
  set(keyless.get(), host::Value("changed"));
  EXPECT_FALSE(prefsFile());
  EXPECT_TRUE(notifications().empty());
}

TEST_F(RootSettings, TheRootPageCollapsesItsGroupsFromTheFile) {
  EXPECT_EQ(host::UTF8String(host::msgSend<id>(page(), sel("plistName"))), "Root");
  writePlist("Root", {item("G", {{"nestedEntryCount", 3}, {"key", "g"}}),
                      item("H", {{"nestedEntryCount", 1}, {"key", "h"}, {"default", true}}),
                      item("X"), item("Y"), item("Z")});
  host::Dictionary file;
  file.set("g", host::Value(true));
  file.set("h", host::Value(false));  // the file wins over the row's default
  device.writePrefs(file);

  host::StrongRef root = app.makeController("DNMRootListController");
  EXPECT_EQ(labels(specifiers(root.get())), (std::vector<std::string>{"G", "H", "Y", "Z"}));
  const host::Value on(true);
  setValue(root.get(), &on, PaneFixture::row(root.get(), "H"));
  EXPECT_EQ(labels(specifiers(root.get())), (std::vector<std::string>{"G", "H", "X", "Y", "Z"}));
  EXPECT_EQ(*prefsFile()->find("h"), on);
}

}  // namespace
}  // namespace harbrite::test
