// The library's one initialiser: when the Settings app loads the bundle, the pane's two classes
// are registered with its runtime by name, with their methods in table order, so that the
// Settings app finds the principal class that Info.plist names.
#include <bit>
#include <cstdint>

#include "dunmereprefs/Pane.h"

namespace harbrite::pane {

namespace {

struct MethodEntry {
  SEL selector;
  host::IMP implementation;
  const char* types;
};

// Defines and registers a class with these object instance variables and methods; nothing when
// the name is taken or the superclass is missing. Answers the class, or nullptr.
Class registerClass(Class superclass, const char* name, std::initializer_list<const char*> ivars,
                    std::initializer_list<MethodEntry> methods) {
  Class cls = host::objc_allocateClassPair(superclass, name);
  if (cls == nullptr) return nullptr;
  for (const char* ivar : ivars) {
    host::class_addIvar(cls, ivar, sizeof(id),
                        static_cast<std::uint8_t>(std::countr_zero(alignof(id))), "@");
  }
  for (const MethodEntry& m : methods)
    host::class_addMethod(cls, m.selector, m.implementation, m.types);
  host::objc_registerClassPair(cls);
  return cls;
}

void registerPaneClasses() noexcept {
  try {
    listControllerClass = host::objc_getClass("PSListController");
    if (listControllerClass == nullptr) return;
    const Selectors& s = selectors();
    Class base =
        registerClass(listControllerClass, "DNMURootListController", {kFullList},
                      {
                          {s.plistName, host::toIMP(&plistName), "@@:"},
                          {s.specifiers, host::toIMP(&specifiers), "@@:"},
                          {s.removeDisabledGroups, host::toIMP(&removeDisabledGroups), "v@:@"},
                          {s.setPreferenceValue, host::toIMP(&setPreferenceValue), "v@:@@"},
                          {s.resetVPNState, host::toIMP(&resetVPNState), "B@:"},
                          {s.dealloc, host::toIMP(&deallocListController), "v@:"},
                      });
    if (base == nullptr) return;
    registerClass(base, "DNMRootListController", {},
                  {
                      {s.specifiers, host::toIMP(&rootSpecifiers), "@@:"},
                      {s.plistName, host::toIMP(&rootPlistName), "@@:"},
                      {s.setPreferenceValue, host::toIMP(&rootSetPreferenceValue), "v@:@@"},
                      {s.readPreferenceValue, host::toIMP(&rootReadPreferenceValue), "@@:@"},
                  });
  } catch (...) {
    // Nothing escapes into the Settings app: a pane that could not register shows no page.
  }
}

__attribute__((constructor)) void paneDidLoad() {
  registerPaneClasses();
}

}  // namespace

}  // namespace harbrite::pane
