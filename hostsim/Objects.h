// What hostsim adds to the object runtime (GCC's libobjc, see Runtime.cpp) for the classes the
// host itself has. Only hostsim sees these; the system reaches objects through host/Runtime.h.
#pragma once

#include <functional>
#include <initializer_list>

#include "host/Runtime.h"

namespace hostsim {

using host::Class;
using host::id;
using host::IMP;
using host::SEL;

inline SEL sel(const char* name) {
  return host::sel_registerName(name);
}

// The C++ state of an instance of a class the host defines natively (an application's bundle
// identifier, a specifier's properties), kept with the object and destroyed with it.
struct NativeState {
  NativeState() = default;
  NativeState(const NativeState&) = delete;
  NativeState& operator=(const NativeState&) = delete;
  virtual ~NativeState() = default;
};

// Defines and registers a class the host itself has (SpringBoard, PSListController, ...), on
// the runtime's root class when `superclass` is null. `makeState` builds the native state of its
// instances and of its subclasses' instances; nullptr gives plain objects. `objectIvars` names
// the instance variables (each an object) the class declares, as the platform's own classes
// declare theirs.
Class defineClass(const char* name, Class superclass,
                  std::function<NativeState*()> makeState = nullptr,
                  std::initializer_list<const char*> objectIvars = {});
// Adds a class method (sent to the class object).
void addClassMethod(Class cls, const char* selector, IMP imp, const char* types);
void addMethod(Class cls, const char* selector, IMP imp, const char* types);

// How many classes this process has registered under a generation name ("SpringBoard~3")
// because an earlier simulated process in it had registered the name: none in a process that
// runs one simulated process.
long renamedClasses();

// Forgets every class by name, so that a new simulated boot starts from a clean host. Classes
// and objects already made stay valid: whoever still holds them can use them.
void resetRuntime();
// Forgets the class's name when the name still stands for this class: what a simulated process
// that quits takes with it. The class itself stays valid for whoever still holds it.
void forgetClass(Class cls);

// Frees the object at once, its native state first: what NSObject's dealloc ends in.
void disposeObject(id obj);
// Marks a class as one every simulated process shares (Foundation's): a new boot does not forget
// its name.
void makePermanent(Class cls);

// Foundation's root class NSObject (dealloc, isEqual:), on which every class of the host stands.
Class foundationRoot();

// The object's native state; nullptr for nil, a class, or an object without one.
NativeState* nativeState(id obj);
// How many references hold the object (0 for nil and classes).
long referenceCount(id obj);

template <class T>
T* as(id obj) {
  return dynamic_cast<T*>(nativeState(obj));
}

}  // namespace hostsim
