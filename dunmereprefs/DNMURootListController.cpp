// DNMURootListController: a PSListController with collapsible groups. A group switch owns the
// run of rows that follows it in the full list ("nestedEntryCount" rows, inner switches and
// their rows included); while it is off, those rows are not shown.
//
// The nested rows always come from the full list, never from the live list, so they are the
// same whatever is shown at the moment. A count that is negative owns nothing, a run that would
// reach past the end of the full list stops at its end, and a switch that the full list does
// not hold owns nothing: whatever a plist says, the page never reaches outside its rows.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "dunmereprefs/Pane.h"

namespace harbrite::pane {

Class listControllerClass = nullptr;

const Selectors& selectors() {
  static const Selectors s{
      .plistName = host::sel_registerName("plistName"),
      .specifiers = host::sel_registerName("specifiers"),
      .removeDisabledGroups = host::sel_registerName("removeDisabledGroups:"),
      .setPreferenceValue = host::sel_registerName("setPreferenceValue:specifier:"),
      .readPreferenceValue = host::sel_registerName("readPreferenceValue:"),
      .resetVPNState = host::sel_registerName("resetVPNState"),
      .loadSpecifiers = host::sel_registerName("loadSpecifiersFromPlistName:target:"),
      .insertSpecifiers =
          host::sel_registerName("insertContiguousSpecifiers:afterSpecifier:animated:"),
      .removeSpecifiers = host::sel_registerName("removeContiguousSpecifiers:animated:"),
      .propertyForKey = host::sel_registerName("propertyForKey:"),
      .removeObjectsInArray = host::sel_registerName("removeObjectsInArray:"),
      .dealloc = host::sel_registerName("dealloc"),
  };
  return s;
}

const PropertyKeys& propertyKeys() {
  static const PropertyKeys k{
      .key = host::stringWithUTF8String("key"),
      .defaultValue = host::stringWithUTF8String("default"),
      .nestedEntryCount = host::stringWithUTF8String("nestedEntryCount"),
      .postNotification = host::stringWithUTF8String("PostNotification"),
  };
  return k;
}

namespace {

// The instance variables, looked up once: the live list is PSListController's, the full list
// the pane's own.
host::Ivar liveListIvar() {
  static const host::Ivar ivar = host::class_getInstanceVariable(listControllerClass, kLiveList);
  return ivar;
}
host::Ivar fullListIvar(id self) {
  return host::class_getInstanceVariable(host::object_getClass(self), kFullList);
}

// Stores an object in an instance variable, holding it: the new value is retained first, then the
// old one released.
void setHeldIvar(id self, host::Ivar ivar, id value) {
  if (ivar == nullptr) return;
  host::objc_retain(value);
  id old = host::object_getIvar(self, ivar);
  host::object_setIvar(self, ivar, value);
  host::objc_release(old);
}

id propertyObject(id specifier, const host::StrongRef& key) {
  return host::msgSend<id, id>(specifier, selectors().propertyForKey, key.get());
}

// Presence alone makes a group switch: any value, 0 included.
bool isGroupSwitch(id specifier) {
  return propertyObject(specifier, propertyKeys().nestedEntryCount) != nullptr;
}

// The switch's nested rows: the entries of the full list after its first position there, as
// many as its count says, within the full list.
host::ObjectList nestedEntries(id self, id groupSwitch) {
  const host::ObjectList full = host::arrayElements(host::object_getIvar(self, fullListIvar(self)));
  const auto at = std::find_if(full.begin(), full.end(), [groupSwitch](const host::StrongRef& e) {
    return e.get() == groupSwitch;
  });
  const std::int64_t count =
      nestedEntryCount(property(groupSwitch, propertyKeys().nestedEntryCount));
  if (at == full.end() || count <= 0) return {};
  const auto first = at + 1;
  const auto last = first + std::min<std::int64_t>(count, full.end() - first);
  return host::ObjectList(first, last);
}

bool holdsGroupSwitch(const host::ObjectList& specifiers) {
  for (const host::StrongRef& e : specifiers) {
    if (isGroupSwitch(e.get())) return true;
  }
  return false;
}

}  // namespace

std::int32_t nestedEntryCount(const host::Value& value) {
  return value.intValue();
}

host::Value property(id specifier, const host::StrongRef& key) {
  return host::valueFromPropertyList(propertyObject(specifier, key));
}

id loadCollapsingGroups(id self, id plistName) {
  const Selectors& s = selectors();
  if (id live = host::object_getIvar(self, liveListIvar())) return live;
  id loaded = host::msgSend<id, id, id>(self, s.loadSpecifiers, plistName, self);
  const host::ObjectList rows = host::arrayElements(loaded);
  setHeldIvar(self, fullListIvar(self),
              loaded != nullptr ? host::arrayWithObjects(rows).get() : nullptr);
  if (loaded == nullptr) return nullptr;
  setHeldIvar(self, liveListIvar(), host::mutableArrayWithObjects(rows).get());
  id live = host::object_getIvar(self, liveListIvar());
  host::msgSend<void, id>(self, s.removeDisabledGroups, live);
  return host::object_getIvar(self, liveListIvar());
}

void openOrCloseGroup(id self, id value, id specifier) {
  if (!isGroupSwitch(specifier)) return;
  const Selectors& s = selectors();
  const host::StrongRef nested = host::mutableArrayWithObjects(nestedEntries(self, specifier));
  host::msgSend<void, id>(self, s.removeDisabledGroups, nested.get());
  if (host::valueFromPropertyList(value).boolValue()) {
    host::msgSend<void, id, id, bool>(self, s.insertSpecifiers, nested.get(), specifier, true);
  } else {
    host::msgSend<void, id, bool>(self, s.removeSpecifiers, nested.get(), true);
  }
}

// In this class no plist is named; subclasses name theirs.
id plistName(id, SEL) noexcept {
  return nullptr;
}

id specifiers(id self, SEL) noexcept {
  try {
    id name = host::msgSend<id>(self, selectors().plistName);
    return loadCollapsingGroups(self, name);
  } catch (...) {
    return nullptr;
  }
}

// One walk can reach the same inner group many times: every enclosing switch that is off walks
// its rows again, and so on down. An inner group's collapsed rows are the same each time (the full
// list and the values do not change during a walk), so each is worked out once per walk; without
// this a deep nest of switched-off groups takes time exponential in its depth.
struct Walk {
  std::unordered_map<id, host::StrongRef> collapsed;  // the switch's rows still to hide, an array
};
Walk* currentWalk = nullptr;  // the Settings app's main thread only

// Walks the entries the array holds when the call starts, from the last to the first, so that
// the rows removed for a switch (which follow it) have all been visited already; inner switches
// are visited, and their groups collapsed, before their outer switch.
void removeDisabledGroups(id self, SEL, id specifiers) noexcept {
  Walk walk;
  const bool outermost = currentWalk == nullptr;
  if (outermost) currentWalk = &walk;
  try {
    if (specifiers != nullptr) {
      const Selectors& s = selectors();
      const host::ObjectList visit = host::arrayElements(specifiers);
      for (auto entry = visit.rbegin(); entry != visit.rend(); ++entry) {
        if (!isGroupSwitch(entry->get())) continue;
        const host::Value value = host::valueFromPropertyList(
            host::msgSend<id, id>(self, s.readPreferenceValue, entry->get()));
        if (value.boolValue()) continue;
        auto known = currentWalk->collapsed.find(entry->get());
        if (known == currentWalk->collapsed.end()) {
          host::ObjectList rows = nestedEntries(self, entry->get());
          const bool inner = holdsGroupSwitch(rows);
          host::StrongRef nested = host::mutableArrayWithObjects(rows);
          if (inner) host::msgSend<void, id>(self, s.removeDisabledGroups, nested.get());
          known = currentWalk->collapsed.emplace(entry->get(), std::move(nested)).first;
        }
        host::msgSend<void, id>(specifiers, s.removeObjectsInArray, known->second.get());
      }
    }
  } catch (...) {
  }
  if (outermost) currentWalk = nullptr;
}

// The value is stored by PSListController first; then a group switch opens or closes its group.
void setPreferenceValue(id self, SEL sel, id value, id specifier) noexcept {
  try {
    host::msgSendSuper<void, id, id>(listControllerClass, self, sel, value, specifier);
    openOrCloseGroup(self, value, specifier);
  } catch (...) {
  }
}

// The pane's own instance variable goes with the controller; PSListController's dealloc takes
// care of its own.
void deallocListController(id self, SEL sel) noexcept {
  setHeldIvar(self, fullListIvar(self), nullptr);
  host::msgSendSuper<void>(listControllerClass, self, sel);
}

}  // namespace harbrite::pane
