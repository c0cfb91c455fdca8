// The host's object runtime, as the system sees it: classes looked up by name, selectors,
// methods added with a type string, Substrate-style hooks, reference-counted objects and
// messages sent by selector. Which of these any thread may call: Platform.h says, for all of
// host/.
//
// Conventions at the send site, which every implementation of this interface keeps:
// - an implementation (IMP) is a plain function whose first two parameters are the receiver and
//   the selector; it is cast to its real signature where it is called;
// - strings cross a message send as NUL-terminated UTF-8 `const char*`, nil being nullptr; a
//   returned string stays valid while the object that returned it lives;
// - BOOL is `bool`; property-list values cross as `host::Value` (PropertyList.h);
// - a message to nil, or one the receiver does not answer, does nothing and returns a
//   value-initialised result (nil, NO, 0, an empty value).
#pragma once

#include <any>
#include <cstddef>
#include <utility>
#include <vector>

namespace host {

struct objc_object;
struct objc_class;
struct objc_selector;
using id = objc_object*;
using Class = objc_class*;
using SEL = const objc_selector*;
using IMP = void (*)();

// The interned selector of that name; the same name always gives the same selector.
SEL sel_registerName(const char* name);
const char* sel_getName(SEL sel);

// The class registered under that name, or nullptr when the host has none.
Class objc_getClass(const char* name);
const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);
// The class of a class object: its class methods live there.
Class object_getClass(id obj);

// Adds a method to the class itself. When the class itself already has a method for `sel` the
// existing one stays and the call answers false; a method the class only inherits is overridden.
bool class_addMethod(Class cls, SEL sel, IMP imp, const char* types);
// The implementation that a message `sel` to an instance of `cls` runs, found through the
// superclass chain, or nullptr when no class in the chain answers it.
IMP class_getMethodImplementation(Class cls, SEL sel);
// The recorded type string of that method, or nullptr.
const char* class_getMethodTypes(Class cls, SEL sel);

// CydiaSubstrate's hook. A method the class itself defines is replaced, and `*result` receives
// the old implementation. A method the class only inherits gets an override, and `*result`
// receives an implementation that calls the superclass's implementation current at call time.
// A selector that nobody in the chain answers: nothing happens and `*result` is left alone.
void MSHookMessageEx(Class cls, SEL sel, IMP replacement, IMP* result);

// Defines a new class at run time (the way a loaded library registers its classes). Instances
// are created by `class_createInstance`, which builds the nearest host-defined ancestor's state.
// Answers nullptr when the name is taken or the superclass is null.
Class objc_allocateClassPair(Class superclass, const char* name);
void objc_registerClassPair(Class cls);
// A new instance of `cls` with a reference count of one (the caller owns it).
id class_createInstance(Class cls);

bool respondsToSelector(id obj, SEL sel);
// True when obj is an instance of cls or of one of its subclasses; false for nil.
bool isKindOfClass(id obj, Class cls);

// Reference counting. Both accept nil.
id objc_retain(id obj);
void objc_release(id obj);

// A field of an object, by name; created empty on first use. Classes defined at run time keep
// their fields here. The object owns what the field holds and destroys it with itself.
std::any& object_ivar(id obj, const char* name);

template <class T>
T& ivar(id obj, const char* name) {
  std::any& slot = object_ivar(obj, name);
  if (!slot.has_value()) slot = T{};
  return *std::any_cast<T>(&slot);
}

// A strong reference: retains what it holds and releases it when it lets go.
class StrongRef {
 public:
  StrongRef() = default;
  StrongRef(std::nullptr_t) {}
  explicit StrongRef(id obj) : obj_(objc_retain(obj)) {}
  // Takes over a reference the caller already owns (from class_createInstance).
  static StrongRef adopt(id obj) {
    StrongRef r;
    r.obj_ = obj;
    return r;
  }
  StrongRef(const StrongRef& o) : obj_(objc_retain(o.obj_)) {}
  StrongRef(StrongRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  StrongRef& operator=(StrongRef o) noexcept {
    std::swap(obj_, o.obj_);
    return *this;
  }
  ~StrongRef() { objc_release(obj_); }
  id get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  bool operator==(const StrongRef& o) const { return obj_ == o.obj_; }

 private:
  id obj_ = nullptr;
};

// An array of objects, as NSArray holds them.
using ObjectList = std::vector<StrongRef>;

// Sends `sel` to `self` with `args`. R is the method's real result type.
template <class R = void, class... Args>
R msgSend(id self, SEL sel, Args... args) {
  if (self == nullptr) return R();
  IMP imp = class_getMethodImplementation(object_getClass(self), sel);
  if (imp == nullptr) return R();
  return reinterpret_cast<R (*)(id, SEL, Args...)>(imp)(self, sel, args...);
}

// Sends `sel` to `self` starting the method search at `cls` (a superclass of self's class).
template <class R = void, class... Args>
R msgSendSuper(Class cls, id self, SEL sel, Args... args) {
  if (self == nullptr || cls == nullptr) return R();
  IMP imp = class_getMethodImplementation(cls, sel);
  if (imp == nullptr) return R();
  return reinterpret_cast<R (*)(id, SEL, Args...)>(imp)(self, sel, args...);
}

// Calls a saved implementation with its real signature (nullptr: does nothing).
template <class R = void, class... Args>
R callIMP(IMP imp, id self, SEL sel, Args... args) {
  if (imp == nullptr) return R();
  return reinterpret_cast<R (*)(id, SEL, Args...)>(imp)(self, sel, args...);
}

template <class F>
IMP toIMP(F* function) {
  return reinterpret_cast<IMP>(function);
}

// A class object is an object too: class methods are sent to it.
id asObject(Class cls);

}  // namespace host
