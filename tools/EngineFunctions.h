// The engine's exported functions that a scenario may `call`, each with its real signature.
// Nothing else of the engine (its variables) and nothing of another library can be called: a
// call is made through the signature written here, never through a guess.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harbrite::sim {

enum class Signature {
  Void,         // void f()
  Bool,         // bool f(), a probe such as isIOS16
  String,       // const char* f(), a root prefix or the boot identifier (libroot's C strings)
  Object,       // id f(), a string object such as the executable's path (autoreleased)
  PathMapping,  // char* f(const char* path, char* buffer), with a 1024-byte buffer
};

struct EngineFunction {
  const char* name;
  Signature signature;
};

const std::vector<EngineFunction>& engineFunctions();
const EngineFunction* findEngineFunction(std::string_view name);
// How a scenario writes the call: "call isIOS16", "call libroot_dyn_jbrootpath \"PATH\"".
std::string callSyntax(const EngineFunction& function);

// Calls `symbol` as `function`; `path` is the PATH of a path mapping. Answers what the function
// answered, as the scenario language writes it; nothing for a void function.
std::optional<std::string> callEngineFunction(void* symbol, const EngineFunction& function,
                                              const std::string& path);

}  // namespace harbrite::sim
