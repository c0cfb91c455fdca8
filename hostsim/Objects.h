// The simulated object runtime's own view of objects and classes. Only hostsim sees inside
// them; the system reaches them through host/Runtime.h.
#pragma once

#include <any>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "host/Runtime.h"

namespace host {

struct objc_object {
  objc_object() = default;
  objc_object(const objc_object&) = delete;
  objc_object& operator=(const objc_object&) = delete;
  virtual ~objc_object() = default;

  Class isa = nullptr;
  std::atomic<long> references{1};
  bool immortal = false;  // classes live as long as the process
  std::unordered_map<std::string, std::any> ivars;
};

struct Method {
  IMP imp = nullptr;
  std::string types;
};

struct objc_class : objc_object {
  std::string name;
  Class superclass = nullptr;
  bool isMeta = false;
  std::unordered_map<SEL, Method> methods;
  // Builds the state of instances of a class the host defines natively; subclasses defined at
  // run time inherit it.
  std::function<objc_object*()> makeInstance;
};

}  // namespace host

namespace hostsim {

using host::Class;
using host::id;
using host::IMP;
using host::SEL;

inline SEL sel(const char* name) {
  return host::sel_registerName(name);
}

// Defines a class the host itself has (SpringBoard, PSListController, ...). `makeInstance`
// builds the C++ state of its instances; nullptr gives plain objects.
Class defineClass(const char* name, Class superclass,
                  std::function<host::objc_object*()> makeInstance = nullptr);
// Adds a class method (sent to the class object).
void addClassMethod(Class cls, const char* selector, IMP imp, const char* types);
void addMethod(Class cls, const char* selector, IMP imp, const char* types);

// Forgets every class by name, so that a new simulated boot starts from a clean host. Classes
// and objects already made stay valid: whoever still holds them can use them.
void resetRuntime();
// Forgets the class's name when the name still stands for this class: what a simulated process
// that quits takes with it. The class itself stays valid for whoever still holds it.
void forgetClass(Class cls);

template <class T>
T* as(id obj) {
  return dynamic_cast<T*>(obj);
}

}  // namespace hostsim
