// The simulated object runtime: classes with superclass chains and metaclasses, method tables
// keyed by interned selectors, Substrate-style hooks and reference counting.
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hostsim/Objects.h"
#include "hostsim/Timeline.h"

namespace host {

struct objc_selector {
  std::string name;
};

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, std::unique_ptr<objc_selector>> selectors;
  std::unordered_map<std::string, Class> classes;
  // Every class ever made, so that a reset never leaves an object with a dangling class.
  std::vector<std::unique_ptr<objc_class>> allClasses;
};

Registry& registry() {
  static Registry* r = new Registry;  // lives until the process ends
  return *r;
}

const Method* findMethod(Class cls, SEL sel) {
  for (Class c = cls; c != nullptr; c = c->superclass) {
    auto it = c->methods.find(sel);
    if (it != c->methods.end()) return &it->second;
  }
  return nullptr;
}

Class makeClassPair(Class superclass, const std::string& name) {
  auto& r = registry();
  auto meta = std::make_unique<objc_class>();
  auto cls = std::make_unique<objc_class>();
  meta->name = name;
  meta->isMeta = true;
  meta->immortal = true;
  meta->superclass = superclass != nullptr ? superclass->isa : nullptr;
  cls->name = name;
  cls->immortal = true;
  cls->superclass = superclass;
  cls->isa = meta.get();
  if (superclass != nullptr) cls->makeInstance = superclass->makeInstance;
  Class result = cls.get();
  r.allClasses.push_back(std::move(meta));
  r.allClasses.push_back(std::move(cls));
  return result;
}

// Forwarders handed out as the "previous implementation" of a hooked method that the class
// only inherited: each calls the superclass's implementation current at the time of the call.
// A forwarder has to have the method's real signature, so there is a small pool per signature.
struct ForwardTarget {
  Class cls = nullptr;
};
constexpr int kForwardersPerSignature = 16;

template <class R, class... A>
struct Forwarders {
  static inline std::array<ForwardTarget, kForwardersPerSignature> targets{};
  static inline int used = 0;

  template <int N>
  static R forward(id self, SEL sel, A... args) {
    Class super = targets[N].cls->superclass;
    return callIMP<R, A...>(class_getMethodImplementation(super, sel), self, sel, args...);
  }
  template <int... N>
  static IMP pick(int n, std::integer_sequence<int, N...>) {
    static const std::array<IMP, sizeof...(N)> table{toIMP(&forward<N>)...};
    return table[n];
  }
  static IMP make(Class cls) {
    if (used == kForwardersPerSignature) return nullptr;
    targets[used].cls = cls;
    return pick(used++, std::make_integer_sequence<int, kForwardersPerSignature>{});
  }
};

IMP makeForwarder(const std::string& types, Class cls) {
  if (types == "v@:") return Forwarders<void>::make(cls);
  if (types == "v@:@") return Forwarders<void, id>::make(cls);
  if (types == "v@:B") return Forwarders<void, bool>::make(cls);
  if (types == "v@:@@") return Forwarders<void, id, id>::make(cls);
  if (types == "v@:@B") return Forwarders<void, id, bool>::make(cls);
  if (types == "B@:") return Forwarders<bool>::make(cls);
  if (types == "B@:@") return Forwarders<bool, id>::make(cls);
  if (types == "@@:") return Forwarders<id>::make(cls);
  if (types == "@@:@") return Forwarders<id, id>::make(cls);
  return nullptr;
}

}  // namespace

SEL sel_registerName(const char* name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto& slot = r.selectors[name];
  if (!slot) slot = std::make_unique<objc_selector>(objc_selector{name});
  return slot.get();
}

const char* sel_getName(SEL sel) {
  return sel != nullptr ? sel->name.c_str() : nullptr;
}

Class objc_getClass(const char* name) {
  if (name == nullptr) return nullptr;
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(name);
  return it != r.classes.end() ? it->second : nullptr;
}

const char* class_getName(Class cls) {
  return cls != nullptr ? cls->name.c_str() : nullptr;
}
Class class_getSuperclass(Class cls) {
  return cls != nullptr ? cls->superclass : nullptr;
}
Class object_getClass(id obj) {
  return obj != nullptr ? obj->isa : nullptr;
}
id asObject(Class cls) {
  return cls;
}

namespace {
bool addMethodQuietly(Class cls, SEL sel, IMP imp, const char* types) {
  if (cls == nullptr || sel == nullptr) return false;
  if (cls->methods.count(sel) != 0) return false;
  cls->methods[sel] = Method{imp, types != nullptr ? types : ""};
  return true;
}
std::string describe(Class cls, SEL sel) {
  return std::string(cls->isMeta ? "+[" : "-[") + cls->name + " " + sel->name + "]";
}
}  // namespace

bool class_addMethod(Class cls, SEL sel, IMP imp, const char* types) {
  bool added = addMethodQuietly(cls, sel, imp, types);
  if (cls != nullptr && sel != nullptr) {
    hostsim::timelineLazy("runtime", [&] {
      return std::string((added ? "added " : "kept existing ") + describe(cls, sel) + " \"" +
                         (types != nullptr ? types : "") + "\"");
    });
  }
  return added;
}

IMP class_getMethodImplementation(Class cls, SEL sel) {
  const Method* m = findMethod(cls, sel);
  return m != nullptr ? m->imp : nullptr;
}

const char* class_getMethodTypes(Class cls, SEL sel) {
  const Method* m = findMethod(cls, sel);
  return m != nullptr ? m->types.c_str() : nullptr;
}

void MSHookMessageEx(Class cls, SEL sel, IMP replacement, IMP* result) {
  if (cls == nullptr || sel == nullptr) return;
  auto own = cls->methods.find(sel);
  if (own != cls->methods.end()) {
    if (result != nullptr) *result = own->second.imp;
    own->second.imp = replacement;
    hostsim::timelineLazy("runtime", [&] { return std::string("hooked " + describe(cls, sel)); });
    return;
  }
  const Method* inherited = findMethod(cls->superclass, sel);
  if (inherited == nullptr) {
    hostsim::timelineLazy("runtime", [&] {
      return std::string("hook of " + describe(cls, sel) + " found no method");
    });
    return;
  }
  IMP forwarder = makeForwarder(inherited->types, cls);
  if (forwarder == nullptr) return;  // a signature the simulated Substrate cannot forward
  cls->methods[sel] = Method{replacement, inherited->types};
  if (result != nullptr) *result = forwarder;
  hostsim::timelineLazy(
      "runtime", [&] { return std::string("hooked " + describe(cls, sel) + " (inherited)"); });
}

Class objc_allocateClassPair(Class superclass, const char* name) {
  if (superclass == nullptr || name == nullptr || objc_getClass(name) != nullptr) return nullptr;
  std::lock_guard lock(registry().mutex);
  return makeClassPair(superclass, name);
}

void objc_registerClassPair(Class cls) {
  if (cls == nullptr) return;
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.classes.emplace(cls->name, cls);
}

id class_createInstance(Class cls) {
  if (cls == nullptr || cls->isMeta) return nullptr;
  objc_object* obj = cls->makeInstance ? cls->makeInstance() : new objc_object;
  obj->isa = cls;
  return obj;
}

bool respondsToSelector(id obj, SEL sel) {
  return obj != nullptr && findMethod(obj->isa, sel) != nullptr;
}

bool isKindOfClass(id obj, Class cls) {
  if (obj == nullptr || cls == nullptr) return false;
  for (Class c = obj->isa; c != nullptr; c = c->superclass) {
    if (c == cls) return true;
  }
  return false;
}

id objc_retain(id obj) {
  if (obj != nullptr && !obj->immortal) obj->references.fetch_add(1, std::memory_order_relaxed);
  return obj;
}

void objc_release(id obj) {
  if (obj == nullptr || obj->immortal) return;
  if (obj->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete obj;
}

std::any& object_ivar(id obj, const char* name) {
  return obj->ivars[name];
}

}  // namespace host

namespace hostsim {

Class defineClass(const char* name, Class superclass,
                  std::function<host::objc_object*()> makeInstance) {
  Class cls = nullptr;
  {
    std::lock_guard lock(host::registry().mutex);
    cls = host::makeClassPair(superclass, name);
  }
  if (makeInstance) cls->makeInstance = std::move(makeInstance);
  host::objc_registerClassPair(cls);
  return cls;
}

void addMethod(Class cls, const char* selector, IMP imp, const char* types) {
  host::addMethodQuietly(cls, sel(selector), imp, types);
}

void addClassMethod(Class cls, const char* selector, IMP imp, const char* types) {
  host::addMethodQuietly(cls->isa, sel(selector), imp, types);
}

void resetRuntime() {
  auto& r = host::registry();
  std::lock_guard lock(r.mutex);
  r.classes.clear();
}

void forgetClass(Class cls) {
  if (cls == nullptr) return;
  auto& r = host::registry();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(cls->name);
  if (it != r.classes.end() && it->second == cls) r.classes.erase(it);
}

}  // namespace hostsim
