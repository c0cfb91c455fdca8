// The pane's group walk, -[DNMURootListController removeDisabledGroups:], over any rows: any
// number of group switches with any "nestedEntryCount" (negative, past the end, of any type),
// switched on or off, and any array to walk (the full list itself, or rows in any order, twice
// over, or rows the full list does not hold).
#include <algorithm>
#include <string>
#include <vector>

#include "dunmereprefs/Pane.h"
#include "host/Foundation.h"
#include "hostsim/Objects.h"
#include "hostsim/Preferences.h"
#include "tests/fuzz/Properties.h"

namespace harbrite::fuzz {

namespace {

using host::ObjectList;
using host::StrongRef;
using host::Value;

// A page class of our own: PSListController with the pane's walk. Its classes are kept by
// pointer and not by name, so that a Settings app of the same process meets none of them.
struct Page {
  host::Class specifier = nullptr;
  host::Class controller = nullptr;
};

const Page& page() {
  static const Page p = [] {
    const hostsim::PreferencesClasses framework = hostsim::installPreferencesFramework();
    Page made;
    made.specifier = framework.specifier;
    pane::listControllerClass = framework.listController;
    made.controller = host::objc_allocateClassPair(framework.listController, "FuzzGroupsPage");
    host::class_addIvar(made.controller, pane::kFullList, sizeof(host::id), 3, "@");
    host::class_addMethod(made.controller, pane::selectors().removeDisabledGroups,
                          host::toIMP(&pane::removeDisabledGroups), "v@:@");
    host::class_addMethod(made.controller, pane::selectors().dealloc,
                          host::toIMP(&pane::deallocListController), "v@:");
    host::objc_registerClassPair(made.controller);
    for (host::Class c :
         {made.controller, framework.listController, framework.specifier, framework.object}) {
      hostsim::forgetClass(c);
    }
    return made;
  }();
  return p;
}

// Reads the input a byte at a time; zeros once it runs out.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
  bool done() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

Value countValue(std::uint8_t kind, std::int8_t count) {
  switch (kind % 4) {
    case 0:
      return Value(static_cast<std::int64_t>(count));
    case 1:
      return Value(count + 0.75);
    case 2:
      return Value(std::to_string(count) + "rows");
    default:
      return Value(count % 2 != 0);
  }
}

// The rows a switch owns, as the full list lays them out: after its first place there, as many
// as its count says, within the list.
ObjectList owned(const ObjectList& full, host::id groupSwitch) {
  const auto at = std::find(full.begin(), full.end(), StrongRef(groupSwitch));
  const Value count = pane::property(groupSwitch, pane::propertyKeys().nestedEntryCount);
  const std::int64_t n = pane::nestedEntryCount(count);
  if (at == full.end() || n <= 0) return {};
  return ObjectList(at + 1, at + 1 + std::min<std::int64_t>(n, full.end() - (at + 1)));
}

bool contains(const ObjectList& list, const StrongRef& row) {
  return std::find(list.begin(), list.end(), row) != list.end();
}

bool isSubsequence(const ObjectList& part, const ObjectList& whole) {
  std::size_t at = 0;
  for (const StrongRef& row : whole) {
    if (at < part.size() && part[at] == row) ++at;
  }
  return at == part.size();
}

void walk(host::id controller, ObjectList& rows) {
  host::AutoreleasePool pool;
  const StrongRef array = host::mutableArrayWithObjects(rows);
  host::msgSend<void, host::id>(controller, pane::selectors().removeDisabledGroups, array.get());
  rows = host::arrayElements(array.get());
}

}  // namespace

std::string checkGroupWalk(const std::uint8_t* data, std::size_t size) {
  const Page& p = page();
  Bytes in(data, size);
  const StrongRef controller = StrongRef::adopt(host::class_createInstance(p.controller));

  // The full list: each row a plain row or a group switch, on or off, with its count.
  ObjectList full;
  std::vector<bool> off;
  const int rows = 1 + in.next() % 24;
  for (int i = 0; i < rows; ++i) {
    const std::uint8_t flags = in.next();
    host::Dictionary properties;
    properties.set("key", Value("row" + std::to_string(i)));
    if ((flags & 1) != 0) {
      properties.set("nestedEntryCount",
                     countValue(flags >> 2, static_cast<std::int8_t>(in.next())));
    }
    // A switch's value: on, off, or none (which reads as off).
    if ((flags & 2) != 0) properties.set("default", Value(true));
    if ((flags & 0x40) != 0) properties.set("default", Value(0));
    full.push_back(hostsim::makeSpecifier(p.specifier, std::move(properties), controller.get()));
  }
  host::object_setIvar(
      controller.get(),
      host::class_getInstanceVariable(host::object_getClass(controller.get()), pane::kFullList),
      host::objc_retain(host::arrayWithObjects(full).get()));

  // The array to walk: the full list, or rows picked from it (or from nowhere) in any order.
  ObjectList walked;
  const bool wholeList = in.next() % 4 != 0;
  if (wholeList) {
    walked = full;
  } else {
    while (!in.done() && walked.size() < 64) {
      const std::uint8_t pick = in.next();
      if (pick >= 0xF0) {
        host::Dictionary stray;
        stray.set("nestedEntryCount", Value(static_cast<std::int64_t>(pick - 0xF0)));
        walked.push_back(hostsim::makeSpecifier(p.specifier, std::move(stray), controller.get()));
      } else {
        walked.push_back(full[pick % full.size()]);
      }
    }
  }

  ObjectList result = walked;
  walk(controller.get(), result);

  if (!isSubsequence(result, walked)) return "the walk reordered or added rows";
  // A row goes only when an off switch in the array owns it; with the full list walked, every
  // such row goes.
  ObjectList hideable;
  for (const StrongRef& row : walked) {
    const Value* count = hostsim::specifierProperties(row.get()).find("nestedEntryCount");
    if (count == nullptr) continue;
    host::AutoreleasePool pool;
    const Value value = host::valueFromPropertyList(host::msgSend<host::id, host::id>(
        controller.get(), pane::selectors().readPreferenceValue, row.get()));
    if (value.boolValue()) continue;
    for (const StrongRef& nested : owned(full, row.get())) hideable.push_back(nested);
  }
  for (const StrongRef& row : walked) {
    const bool kept = contains(result, row);
    if (!kept && !contains(hideable, row)) return "a row went that no off switch owns";
    if (wholeList && kept && contains(hideable, row)) return "a row an off switch owns stayed";
  }
  // What a walk leaves, a second walk leaves as it is.
  ObjectList again = result;
  walk(controller.get(), again);
  if (again != result) return "a second walk removed more";
  return "";
}

}  // namespace harbrite::fuzz
