// The simulated object runtime: classes with superclass chains and metaclasses, method tables
// keyed by interned selectors, Substrate-style hooks and reference counting.
#include <ffi.h>

#include <algorithm>
#include <cctype>
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
// only inherited. As hooking libraries do on the device with a trampoline per hook, every hook
// gets a forwarder of its own, made at run time (a libffi closure with the method's signature):
// it is bound to the class that holds the replacement and, when called, calls that class's
// superclass's implementation current at the time of the call with the arguments it was given.
// A forwarder lives as long as the class it serves, that is, as long as the process.
struct Forwarder {
  Class cls = nullptr;
  SEL sel = nullptr;
  std::vector<ffi_type*> arguments;
  ffi_cif cif{};
  ffi_closure* closure = nullptr;
  void* code = nullptr;
};

std::mutex forwardersMutex;
std::vector<std::unique_ptr<Forwarder>>& forwarders() {
  static auto* all = new std::vector<std::unique_ptr<Forwarder>>;  // lives until the process ends
  return *all;
}

// Steps over one type in a method's type string (with its qualifiers and frame offset).
// Answers false at a type that does not end.
bool skipType(const char*& p) {
  while (*p != '\0' && std::strchr("rnNoORV", *p) != nullptr) ++p;
  if (*p == '\0') return false;
  const char open = *p;
  if (open == '^') {
    ++p;
    if (!skipType(p)) return false;
  } else if (open == '{' || open == '(' || open == '[') {
    const char close = open == '{' ? '}' : open == '(' ? ')' : ']';
    int depth = 0;
    do {
      if (*p == '\0') return false;
      if (*p == open) ++depth;
      if (*p == close) --depth;
      ++p;
    } while (depth > 0);
  } else {
    ++p;
  }
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  return true;
}

// The libffi type of the type at `p`, stepping over it; nullptr for what a forwarder does not
// pass on (structures, unions, arrays, bit fields) and for a malformed type.
ffi_type* ffiType(const char*& p) {
  while (*p != '\0' && std::strchr("rnNoORV", *p) != nullptr) ++p;
  ffi_type* type = nullptr;
  switch (*p) {
    case 'v':
      type = &ffi_type_void;
      break;
    case '@':
    case '#':
    case ':':
    case '*':
    case '^':
      type = &ffi_type_pointer;
      break;
    case 'B':
    case 'C':
      type = &ffi_type_uint8;
      break;
    case 'c':
      type = &ffi_type_sint8;
      break;
    case 's':
      type = &ffi_type_sint16;
      break;
    case 'S':
      type = &ffi_type_uint16;
      break;
    case 'i':
    case 'l':
      type = &ffi_type_sint32;
      break;
    case 'I':
    case 'L':
      type = &ffi_type_uint32;
      break;
    case 'q':
      type = &ffi_type_sint64;
      break;
    case 'Q':
      type = &ffi_type_uint64;
      break;
    case 'f':
      type = &ffi_type_float;
      break;
    case 'd':
      type = &ffi_type_double;
      break;
    default:
      return nullptr;
  }
  return skipType(p) ? type : nullptr;
}

void forward(ffi_cif* cif, void* result, void** arguments, void* data) noexcept {
  const auto* forwarder = static_cast<const Forwarder*>(data);
  IMP target = class_getMethodImplementation(class_getSuperclass(forwarder->cls), forwarder->sel);
  if (target != nullptr) {
    ffi_call(cif, target, result, arguments);
  } else if (cif->rtype->type != FFI_TYPE_VOID) {
    std::memset(result, 0, std::max<std::size_t>(cif->rtype->size, sizeof(ffi_arg)));
  }
}

// A forwarder for `sel` of `cls`, whose method has the signature `types` describes; nullptr when
// the signature has a type that a forwarder cannot pass on.
IMP makeForwarder(const char* types, Class cls, SEL sel) {
  auto forwarder = std::make_unique<Forwarder>();
  forwarder->cls = cls;
  forwarder->sel = sel;
  const char* p = types;
  ffi_type* result = ffiType(p);
  if (result == nullptr) return nullptr;
  while (*p != '\0') {
    ffi_type* argument = ffiType(p);
    if (argument == nullptr || argument == &ffi_type_void) return nullptr;
    forwarder->arguments.push_back(argument);
  }
  if (forwarder->arguments.size() < 2) return nullptr;  // every method takes self and _cmd
  if (ffi_prep_cif(&forwarder->cif, FFI_DEFAULT_ABI,
                   static_cast<unsigned>(forwarder->arguments.size()), result,
                   forwarder->arguments.data()) != FFI_OK) {
    return nullptr;
  }
  forwarder->closure =
      static_cast<ffi_closure*>(ffi_closure_alloc(sizeof(ffi_closure), &forwarder->code));
  if (forwarder->closure == nullptr) return nullptr;
  if (ffi_prep_closure_loc(forwarder->closure, &forwarder->cif, forward, forwarder.get(),
                           forwarder->code) != FFI_OK) {
    ffi_closure_free(forwarder->closure);
    return nullptr;
  }
  IMP imp = reinterpret_cast<IMP>(forwarder->code);
  std::lock_guard lock(forwardersMutex);
  forwarders().push_back(std::move(forwarder));
  return imp;
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
  IMP forwarder = makeForwarder(inherited->types.c_str(), cls, sel);
  if (forwarder == nullptr) {
    hostsim::timelineLazy("runtime", [&] {
      return std::string("hook of " + describe(cls, sel) + " not installed: no forwarder for \"" +
                         inherited->types + "\"");
    });
    return;
  }
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
