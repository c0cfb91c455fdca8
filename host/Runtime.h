// The host's object runtime, as the system sees it: classes looked up by name, selectors,
// methods added with a type string, Substrate-style hooks, reference-counted objects and
// messages sent by selector. Which of these any thread may call: Platform.h says, for all of
// host/.
//
// Conventions at the send site, which every implementation of this interface keeps:
// - an implementation (IMP) is a plain function whose first two parameters are the receiver and
//   the selector; it is cast to its real signature where it is called;
// - only the platform's own types cross a message send: objects (`id`, strings, arrays and
//   dictionaries being objects too), classes, selectors, BOOL, integers, reals and pointers to
//   objects. msgSend, msgSendSuper and callIMP refuse anything else at compile time; C++ values
//   cross into and out of objects through the bridging functions of Foundation.h;
// - a message to nil does nothing and answers nil, NO or 0; a message that the receiver does
//   not answer is a fault that ends the process, as an unrecognised selector does on a device.
//   Ask respondsToSelector first where the receiver may not answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__APPLE__)
// On the device every send goes through the runtime's own messengers, cast at the send site to
// the method's exact type (arm64 passes arguments as the callee expects them only then).
// objc_msgSendSuper starts its search at the class its record names, as msgSendSuper does.
extern "C" void objc_msgSend(void);
extern "C" void objc_msgSendSuper(void);
#endif

namespace host {

struct objc_object;
struct objc_class;
struct objc_selector;
struct objc_ivar;
using id = objc_object*;
using Class = objc_class*;
using SEL = const objc_selector*;
using IMP = void (*)();
using Ivar = objc_ivar*;
// The platform's BOOL on arm64, and its sizes.
using BOOL = bool;
using NSInteger = long;
using NSUInteger = unsigned long;

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
// superclass chain. When no class in the chain answers it: the runtime's forwarding
// implementation, which ends the process when called (never nullptr for a class and a selector).
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

// Instance variables. class_addIvar adds one to a class in construction (between
// objc_allocateClassPair and objc_registerClassPair; false afterwards, or when the name is taken);
// `log2Alignment` is the alignment's base-2 logarithm and `types` its type encoding ("@" for an
// object). class_getInstanceVariable finds a variable of the class or of a superclass (null when
// none). object_getIvar and object_setIvar read and write an object variable as it stands: the
// setter neither retains the new value nor releases the old one.
bool class_addIvar(Class cls, const char* name, std::size_t size, std::uint8_t log2Alignment,
                   const char* types);
Ivar class_getInstanceVariable(Class cls, const char* name);
id object_getIvar(id obj, Ivar ivar);
void object_setIvar(id obj, Ivar ivar, id value);

// Autorelease pools: an object handed back "autoreleased" (a getter's fresh result) lives until
// the innermost pool in place on the calling thread is popped. The host keeps a pool around
// every event it delivers and every piece of queued work it runs; code of the system that makes
// many such objects in a loop of its own pushes a pool of its own.
id objc_autorelease(id obj);
void* objc_autoreleasePoolPush();
void objc_autoreleasePoolPop(void* pool);

class AutoreleasePool {
 public:
  AutoreleasePool() : pool_(objc_autoreleasePoolPush()) {}
  ~AutoreleasePool() { objc_autoreleasePoolPop(pool_); }
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;

 private:
  void* pool_;
};

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

// Hands the object to the innermost autorelease pool, for a result returned "autoreleased":
// the caller may use it until the pool is popped.
inline id autoreleased(const StrongRef& obj) {
  return objc_autorelease(objc_retain(obj.get()));
}

// Objects in order: the system's own list of them, crossed into and out of array objects by the
// bridging functions (Foundation.h); never itself an argument of a message.
using ObjectList = std::vector<StrongRef>;

// The types that may cross a message send: what the platform's own calls pass.
template <class T>
inline constexpr bool isPlatformType =
    std::is_void_v<T> || std::is_same_v<T, bool> || std::is_integral_v<T> ||
    std::is_floating_point_v<T> || std::is_enum_v<T> || std::is_same_v<T, id> ||
    std::is_same_v<T, Class> || std::is_same_v<T, SEL> || std::is_same_v<T, id*>;

template <class R, class... Args>
constexpr void requirePlatformTypes() {
  static_assert(isPlatformType<R>, "a message's result must be one of the platform's types");
  static_assert((isPlatformType<Args> && ...),
                "a message's arguments must be the platform's types: objects, classes, "
                "selectors, BOOL, integers, reals or pointers to objects");
}

// Sends `sel` to `self` with `args`. R is the method's real result type.
template <class R = void, class... Args>
R msgSend(id self, SEL sel, Args... args) {
  requirePlatformTypes<R, Args...>();
  if (self == nullptr) return R();
#if defined(__APPLE__)
  return reinterpret_cast<R (*)(id, SEL, Args...)>(&::objc_msgSend)(self, sel, args...);
#else
  IMP imp = class_getMethodImplementation(object_getClass(self), sel);
  return reinterpret_cast<R (*)(id, SEL, Args...)>(imp)(self, sel, args...);
#endif
}

// Sends `sel` to `self` starting the method search at `cls` (a superclass of self's class).
template <class R = void, class... Args>
R msgSendSuper(Class cls, id self, SEL sel, Args... args) {
  requirePlatformTypes<R, Args...>();
  if (self == nullptr || cls == nullptr) return R();
#if defined(__APPLE__)
  struct {
    id receiver;
    Class searchFrom;
  } super{self, cls};
  return reinterpret_cast<R (*)(decltype(&super), SEL, Args...)>(&::objc_msgSendSuper)(&super, sel,
                                                                                       args...);
#else
  IMP imp = class_getMethodImplementation(cls, sel);
  return reinterpret_cast<R (*)(id, SEL, Args...)>(imp)(self, sel, args...);
#endif
}

// Calls a saved implementation with its real signature (nullptr: does nothing).
template <class R = void, class... Args>
R callIMP(IMP imp, id self, SEL sel, Args... args) {
  requirePlatformTypes<R, Args...>();
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
