// DNMURootListController: a PSListController with collapsible groups. A group switch owns the
// run of rows that follows it in the full list ("nestedEntryCount" rows, inner switches and
// their rows included); while it is off, those rows are not shown.
//
// The nested rows always come from the full list, never from the live list, so they are the
// same whatever is shown at the moment. A count that is negative owns nothing, a run that would
// reach past the end of the full list stops at its end, and a switch that the full list does
// not hold owns nothing: whatever a plist says, the page never reaches outside its rows.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

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
      .properties = host::sel_registerName("properties"),
      .propertyForKey = host::sel_registerName("propertyForKey:"),
  };
  return s;
}

namespace {

constexpr const char* kNestedEntryCount = "nestedEntryCount";

std::int32_t saturated(double value) {
  constexpr double lowest = std::numeric_limits<std::int32_t>::min();
  constexpr double highest = std::numeric_limits<std::int32_t>::max();
  if (std::isnan(value)) return 0;
  return static_cast<std::int32_t>(std::clamp(std::trunc(value), lowest, highest));
}

std::int32_t leadingInteger(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  std::int64_t magnitude = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    magnitude = std::min<std::int64_t>(magnitude * 10 + (text[at] - '0'), std::int64_t{1} << 32);
  }
  return saturated(static_cast<double>(negative ? -magnitude : magnitude));
}

// Presence alone makes a group switch: any value, 0 included.
bool isGroupSwitch(id specifier) {
  const host::Value properties = host::msgSend<host::Value>(specifier, selectors().properties);
  const host::Dictionary* dictionary = properties.asDictionary();
  return dictionary != nullptr && dictionary->find(kNestedEntryCount) != nullptr;
}

// The switch's nested rows: the entries of the full list after its first position there, as
// many as its count says, within the full list.
host::ObjectList nestedEntries(id self, id groupSwitch) {
  const SpecifierList& full = host::ivar<SpecifierList>(self, kFullList);
  if (!full) return {};
  const auto at = std::find_if(full->begin(), full->end(), [groupSwitch](const host::StrongRef& e) {
    return e.get() == groupSwitch;
  });
  const std::int64_t count = nestedEntryCount(property(groupSwitch, kNestedEntryCount));
  if (at == full->end() || count <= 0) return {};
  const auto first = at + 1;
  const auto last = first + std::min<std::int64_t>(count, full->end() - first);
  return host::ObjectList(first, last);
}

bool holdsGroupSwitch(const host::ObjectList& specifiers) {
  return std::any_of(specifiers.begin(), specifiers.end(),
                     [](const host::StrongRef& e) { return isGroupSwitch(e.get()); });
}

}  // namespace

std::int32_t nestedEntryCount(const host::Value& value) {
  if (const bool* b = value.asBoolean()) return *b ? 1 : 0;
  if (const std::int64_t* i = value.asInteger()) return static_cast<std::int32_t>(*i);
  if (const double* d = value.asReal()) return saturated(*d);
  if (const std::string* s = value.asString()) return leadingInteger(*s);
  return 0;
}

host::Value property(id specifier, const char* key) {
  return host::msgSend<host::Value, const char*>(specifier, selectors().propertyForKey, key);
}

SpecifierList loadCollapsingGroups(id self, const char* plistName) {
  const Selectors& s = selectors();
  if (const SpecifierList& live = host::ivar<SpecifierList>(self, kLiveList)) return live;
  SpecifierList loaded =
      host::msgSend<SpecifierList, const char*, id>(self, s.loadSpecifiers, plistName, self);
  host::ivar<SpecifierList>(self, kFullList) = loaded;
  SpecifierList& live = host::ivar<SpecifierList>(self, kLiveList);
  live = std::move(loaded);
  if (live) host::msgSend<void, host::ObjectList*>(self, s.removeDisabledGroups, &*live);
  return host::ivar<SpecifierList>(self, kLiveList);
}

void openOrCloseGroup(id self, const host::Value* value, id specifier) {
  if (!isGroupSwitch(specifier)) return;
  const Selectors& s = selectors();
  host::ObjectList nested = nestedEntries(self, specifier);
  host::msgSend<void, host::ObjectList*>(self, s.removeDisabledGroups, &nested);
  if (value != nullptr && value->boolValue()) {
    host::msgSend<void, const host::ObjectList*, id, bool>(self, s.insertSpecifiers, &nested,
                                                           specifier, true);
  } else {
    host::msgSend<void, const host::ObjectList*, bool>(self, s.removeSpecifiers, &nested, true);
  }
}

// In this class no plist is named; subclasses name theirs.
const char* plistName(id, SEL) noexcept {
  return nullptr;
}

SpecifierList specifiers(id self, SEL) noexcept {
  try {
    const char* name = host::msgSend<const char*>(self, selectors().plistName);
    return loadCollapsingGroups(self, name);
  } catch (...) {
    return std::nullopt;
  }
}

// One walk can reach the same inner group many times: every enclosing switch that is off walks
// its rows again, and so on down. An inner group's collapsed rows are the same each time (the full
// list and the values do not change during a walk), so each is worked out once per walk; without
// this a deep nest of switched-off groups takes time exponential in its depth.
struct Walk {
  std::unordered_map<id, host::ObjectList> collapsed;
};
Walk* currentWalk = nullptr;  // the Settings app's main thread only

// Walks the entries the array holds when the call starts, from the last to the first, so that
// the rows removed for a switch (which follow it) have all been visited already; inner switches
// are visited, and their groups collapsed, before their outer switch.
void removeDisabledGroups(id self, SEL, host::ObjectList* specifiers) noexcept {
  Walk walk;
  const bool outermost = currentWalk == nullptr;
  if (outermost) currentWalk = &walk;
  try {
    if (specifiers != nullptr) {
      const Selectors& s = selectors();
      const host::ObjectList visit = *specifiers;
      for (auto entry = visit.rbegin(); entry != visit.rend(); ++entry) {
        if (!isGroupSwitch(entry->get())) continue;
        const host::Value value =
            host::msgSend<host::Value, id>(self, s.readPreferenceValue, entry->get());
        if (value.boolValue()) continue;
        auto known = currentWalk->collapsed.find(entry->get());
        if (known == currentWalk->collapsed.end()) {
          host::ObjectList nested = nestedEntries(self, entry->get());
          if (holdsGroupSwitch(nested)) {
            host::msgSend<void, host::ObjectList*>(self, s.removeDisabledGroups, &nested);
          }
          known = currentWalk->collapsed.emplace(entry->get(), std::move(nested)).first;
        }
        const host::ObjectList& nested = known->second;
        std::erase_if(*specifiers, [&nested](const host::StrongRef& e) {
          return std::find(nested.begin(), nested.end(), e) != nested.end();
        });
      }
    }
  } catch (...) {
  }
  if (outermost) currentWalk = nullptr;
}

// The value is stored by PSListController first; then a group switch opens or closes its group.
void setPreferenceValue(id self, SEL sel, const host::Value* value, id specifier) noexcept {
  try {
    host::msgSendSuper<void, const host::Value*, id>(listControllerClass, self, sel, value,
                                                     specifier);
    openOrCloseGroup(self, value, specifier);
  } catch (...) {
  }
}

}  // namespace harbrite::pane
