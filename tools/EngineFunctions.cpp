#include "tools/EngineFunctions.h"

#include "host/Foundation.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

const std::vector<EngineFunction>& engineFunctions() {
  static const std::vector<EngineFunction> table = {
      {"loadPrefs", Signature::Void},
      {"isIOS13", Signature::Bool},
      {"isIOS14", Signature::Bool},
      {"isIOS15", Signature::Bool},
      {"isIOS16", Signature::Bool},
      {"handleEnabledAppsChange", Signature::Void},
      {"loadBackboardServices", Signature::Void},
      {"safe_getExecutablePath", Signature::Object},
      {"safe_getBundleIdentifier", Signature::Object},
      {"migratePreferencesIfNeeded", Signature::Void},
      {"libroot_get_root_prefix_fallback", Signature::String},
      {"libroot_get_jbroot_prefix_fallback", Signature::String},
      {"libroot_get_boot_uuid_fallback", Signature::String},
      {"libroot_jbrootpath_fallback", Signature::PathMapping},
      {"libroot_rootfspath_fallback", Signature::PathMapping},
      {"libroot_load", Signature::Void},
      {"libroot_dyn_get_root_prefix", Signature::String},
      {"libroot_dyn_get_jbroot_prefix", Signature::String},
      {"libroot_dyn_get_boot_uuid", Signature::String},
      {"libroot_dyn_jbrootpath", Signature::PathMapping},
      {"libroot_dyn_rootfspath", Signature::PathMapping},
  };
  return table;
}

const EngineFunction* findEngineFunction(std::string_view name) {
  for (const EngineFunction& function : engineFunctions()) {
    if (name == function.name) return &function;
  }
  return nullptr;
}

std::string callSyntax(const EngineFunction& function) {
  return std::string("call ") + function.name +
         (function.signature == Signature::PathMapping ? " \"PATH\"" : "");
}

std::optional<std::string> callEngineFunction(void* symbol, const EngineFunction& function,
                                              const std::string& path) {
  auto text = [](const char* answer) {
    return answer != nullptr ? quoteBytes(answer) : std::string("null");
  };
  switch (function.signature) {
    case Signature::Void:
      reinterpret_cast<void (*)()>(symbol)();
      return std::nullopt;
    case Signature::Bool:
      return reinterpret_cast<bool (*)()>(symbol)() ? "true" : "false";
    case Signature::String:
      return text(reinterpret_cast<const char* (*)()>(symbol)());
    case Signature::Object: {
      // The answer is autoreleased: it is read inside a pool of the call's own.
      host::AutoreleasePool pool;
      const host::id answer = reinterpret_cast<host::id (*)()>(symbol)();
      if (answer == nullptr) return std::string("null");
      const std::optional<std::string> utf8 = host::UTF8String(answer);
      return utf8 ? quoteBytes(*utf8) : std::string("<not a string>");
    }
    case Signature::PathMapping: {
      char buffer[1024];
      return text(reinterpret_cast<char* (*)(const char*, char*)>(symbol)(path.c_str(), buffer));
    }
  }
  return std::nullopt;
}

}  // namespace harbrite::sim
