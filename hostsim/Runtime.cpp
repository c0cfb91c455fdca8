// The simulated device's object runtime is GCC's Objective-C runtime (libobjc), driven through
// its C API: classes, metaclasses, selectors, method lists, lookup and dispatch are its own. This
// file states host/Runtime.h in its terms and adds only what it lacks: reference counts and
// fields (kept in the extra bytes of every instance), the names of classes whose simulated
// process has quit, the Substrate-style hook, and the timeline's events.
#include <objc/message.h>
#include <objc/runtime.h>
#include <objc/thr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hostsim/HookForwarders.h"
#include "hostsim/Objects.h"
#include "hostsim/Process.h"
#include "hostsim/Timeline.h"

namespace {

// host/ names the runtime's types in its own namespace; they are the same pointers.
::Class rt(host::Class cls) {
  return reinterpret_cast<::Class>(cls);
}
host::Class hostClass(::Class cls) {
  return reinterpret_cast<host::Class>(cls);
}
::id rt(host::id obj) {
  return reinterpret_cast<::id>(obj);
}
::SEL rt(host::SEL sel) {
  return reinterpret_cast<::SEL>(sel);
}
::IMP rt(host::IMP imp) {
  return reinterpret_cast<::IMP>(imp);
}
host::IMP hostIMP(::IMP imp) {
  return reinterpret_cast<host::IMP>(imp);
}

// ---- What a class made here carries --------------------------------------------------------

// Marks the classes made here (libobjc's class version, which nothing else uses): only they
// carry ClassFacts in their extra bytes.
constexpr int kHostClassVersion = 0x4862;

// What the host knows of one of its classes beyond what libobjc holds, in the class's extra
// bytes. Classes live as long as the process, and so do their facts.
struct ClassFacts {
  const char* name = nullptr;  // libobjc's name for it may carry a generation (see Names)
  std::function<hostsim::NativeState*()> makeState;
  unsigned epoch = 0;
  std::atomic<bool> forgotten{false};
  // Foundation's classes: the same in every simulated process, never forgotten.
  std::atomic<bool> permanent{false};
};

// Where a class's extra bytes start: past libobjc's own class structure, whose size is the
// instance size of a metaclass (a class is an instance of its metaclass).
void* classExtraBytes(::Class cls) {
  static const std::size_t classSize =
      ::class_getInstanceSize(::object_getClass(reinterpret_cast<::id>(::objc_getClass("Object"))));
  return reinterpret_cast<char*>(cls) + classSize;
}

ClassFacts* facts(::Class cls) {
  if (cls == nullptr || ::class_getVersion(cls) != kHostClassVersion) return nullptr;
  return static_cast<ClassFacts*>(classExtraBytes(cls));
}

// Boots so far: a new boot forgets every class made before it by name.
std::atomic<unsigned> currentEpoch{0};

bool answersToItsName(::Class cls) {
  const ClassFacts* f = facts(cls);
  if (f == nullptr) return false;
  if (f->permanent.load(std::memory_order_acquire)) return true;
  return f->epoch == currentEpoch.load(std::memory_order_acquire) &&
         !f->forgotten.load(std::memory_order_acquire);
}

// ---- Names ------------------------------------------------------------------------------------

// libobjc never lets a registered class go, but a simulated process that quits takes its
// classes' names with it, and the next one registers them anew. A class made while libobjc
// still holds its name is registered under that name with a generation ("SpringBoard~3"), and
// answers to its own name from then on; the first of each name has libobjc's name as is.
struct Names {
  std::mutex mutex;
  std::unordered_map<std::string, ::Class> successors;  // name → the class that now answers
  std::unordered_set<std::string> inConstruction;       // libobjc names allocated, unregistered
  unsigned long generations = 0;
};

Names& names() {
  static auto* n = new Names;  // lives until the process ends
  return *n;
}

::Class lookUpLocked(Names& n, const char* name) {
  auto it = n.successors.find(name);
  if (it != n.successors.end() && answersToItsName(it->second)) return it->second;
  ::Class cls = ::objc_lookUpClass(name);
  return answersToItsName(cls) ? cls : nullptr;
}

// A class pair in construction, under a libobjc name of its own.
::Class makeClass(::Class superclass, const char* name) {
  Names& n = names();
  std::lock_guard lock(n.mutex);
  std::string runtimeName = name;
  while (::objc_lookUpClass(runtimeName.c_str()) != nullptr ||
         n.inConstruction.count(runtimeName) != 0) {
    runtimeName = std::string(name) + "~" + std::to_string(++n.generations);
  }
  ::Class cls = ::objc_allocateClassPair(superclass, runtimeName.c_str(), sizeof(ClassFacts));
  if (cls == nullptr) return nullptr;
  n.inConstruction.insert(runtimeName);
  const ClassFacts* inherited = facts(superclass);
  for (::Class c : {cls, ::object_getClass(reinterpret_cast<::id>(cls))}) {
    ::class_setVersion(c, kHostClassVersion);
    auto* f = new (classExtraBytes(c)) ClassFacts;
    f->name = ::strdup(name);
    if (inherited != nullptr) f->makeState = inherited->makeState;
    f->epoch = currentEpoch.load(std::memory_order_acquire);
  }
  return cls;
}

void registerClass(::Class cls) {
  Names& n = names();
  std::lock_guard lock(n.mutex);
  const ClassFacts* f = facts(cls);
  const bool nameIsFree = lookUpLocked(n, f->name) == nullptr;
  ::objc_registerClassPair(cls);
  n.inConstruction.erase(::class_getName(cls));
  if (std::strcmp(::class_getName(cls), f->name) != 0 && nameIsFree) n.successors[f->name] = cls;
}

// ---- Selectors --------------------------------------------------------------------------------

struct Selectors {
  std::shared_mutex mutex;
  std::unordered_map<std::string_view, ::SEL> byName;  // names are libobjc's, never freed
};

Selectors& selectors() {
  static auto* s = new Selectors;  // lives until the process ends
  return *s;
}

// ---- What an instance carries -----------------------------------------------------------------

// Every instance's reference count and native state, in the extra bytes that
// class_createInstance gives past the runtime's own (past its instance variables).
struct ObjectFacts {
  std::atomic<long> references{1};
  std::unique_ptr<hostsim::NativeState> state;
};

ObjectFacts* objectFacts(::id obj) {
  const std::size_t size = ::class_getInstanceSize(::object_getClass(obj));
  const std::size_t offset =
      (size + alignof(ObjectFacts) - 1) / alignof(ObjectFacts) * alignof(ObjectFacts);
  return reinterpret_cast<ObjectFacts*>(reinterpret_cast<char*>(obj) + offset);
}

bool isClassObject(::id obj) {
  return ::class_isMetaClass(::object_getClass(obj));
}

// ---- Messages the receiver does not answer ---------------------------------------------------

std::string describe(::Class cls, ::SEL sel);

// libobjc answers a selector nobody implements with a forwarding function of its own; the
// runtime's forwarding hook hands out this one instead, which does what an unrecognised
// selector does on a device: the process ends. The simulated process is marked as ended (the
// timeline says which message ended it), and the caller gets nil, NO or 0 back.
::id unanswered(::id self, ::SEL sel) {
  if (self == nullptr) return nullptr;
  ::Class cls = ::object_getClass(self);
  hostsim::processCrashed(describe(cls, sel) + ": unrecognized selector sent to " +
                          (::class_isMetaClass(cls) ? "class" : "instance"));
  return nullptr;
}
::IMP forwardingImplementation(::id, ::SEL) {
  return reinterpret_cast<::IMP>(&unanswered);
}
const bool forwardingInstalled = (__objc_msg_forward2 = &forwardingImplementation, true);

// libobjc frees a dispatch table that a method change replaces at once while it believes the
// process has one thread, and defers the free while other threads may still be reading it. It
// counts only threads it started; a thread that sends messages or changes classes through the
// host is made known to it here, for as long as the thread lives.
struct KnownThread {
  KnownThread() : counted(::gettid() != ::getpid()) {
    if (counted) ::objc_thread_add();
  }
  ~KnownThread() {
    if (counted) ::objc_thread_remove();
  }
  KnownThread(const KnownThread&) = delete;
  KnownThread& operator=(const KnownThread&) = delete;
  bool counted;
};
void noteThread() {
  thread_local KnownThread thread;
  (void)thread;
}

}  // namespace

namespace {

// Type strings as the host wrote them, by the libobjc spelling they were registered under.
const char* internedTypes(const std::string& types) {
  static std::mutex mutex;
  static auto* all = new std::unordered_set<std::string>;  // lives until the process ends
  std::lock_guard lock(mutex);
  return all->emplace(types).first->c_str();
}

// The spelling a type string is registered under. libobjc registers a selector per (name, type
// string) for every method added, and its comparison of type strings never matches two equal
// strings that do not end in a frame offset ("v@:", as the host writes them): every method
// added, on every boot of a process, would make one more selector for its name that every later
// addition and lookup walks. With a frame offset of 0 at the end ("v@:0") the string compares
// equal to the one registered the first time.
std::string registeredTypes(const char* types) {
  const std::size_t length = std::strlen(types);
  const bool offsetWritten = std::isdigit(static_cast<unsigned char>(types[length - 1])) != 0;
  return offsetWritten ? std::string(types) : std::string(types) + "0";
}

// The type string as the host wrote it, from libobjc's spelling: the frame offset that
// registeredTypes appended is taken off again.
const char* writtenTypes(const char* registered) {
  if (registered == nullptr) return nullptr;
  const std::size_t length = std::strlen(registered);
  if (length >= 2 && registered[length - 1] == '0' &&
      !std::isdigit(static_cast<unsigned char>(registered[length - 2]))) {
    return internedTypes(std::string(registered, length - 1));
  }
  return registered;
}

// The method that the class itself defines for `sel`, or nullptr when it only inherits one or
// has none.
::Method ownMethod(::Class cls, ::SEL sel) {
  unsigned int count = 0;
  ::Method* own = ::class_copyMethodList(cls, &count);
  ::Method method = nullptr;
  for (unsigned int i = 0; i < count && method == nullptr; ++i) {
    if (::sel_isEqual(::method_getName(own[i]), sel)) method = own[i];
  }
  std::free(own);
  return method;
}

// Adds a method as ::class_addMethod does, under the spelling that keeps selectors from piling
// up (registeredTypes).
bool addRuntimeMethod(::Class cls, ::SEL sel, ::IMP imp, const char* types) {
  if (types == nullptr || *types == '\0' || imp == nullptr) return false;
  return ::class_addMethod(cls, sel, imp, registeredTypes(types).c_str());
}

// Gives `method`, which `cls` itself defines, a new implementation; answers the old one. The
// class is sent nothing first but has its dispatch table made (a lookup does that): libobjc
// updates the tables of classes that have one of their own, and a class that has not been sent
// a message yet shares the table of every such class.
::IMP setImplementation(::Class cls, ::Method method, ::IMP imp) {
  (void)::class_getMethodImplementation(cls, ::method_getName(method));
  return ::method_setImplementation(method, imp);
}

std::string describe(::Class cls, ::SEL sel) {
  const ClassFacts* f = facts(cls);
  return std::string(::class_isMetaClass(cls) ? "+[" : "-[") +
         (f != nullptr ? f->name : ::class_getName(cls)) + " " + ::sel_getName(sel) + "]";
}

}  // namespace

// libobjc leaves a few blocks of its own start-up where LeakSanitizer cannot see them (before any
// class of ours exists); every executable that links the simulated platform would report them.
// (The asan test preset keeps the report of matched suppressions out of the commands' output.)
#if defined(__SANITIZE_ADDRESS__)
#define HOSTSIM_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTSIM_LEAK_CHECKED 1
#endif
#endif
#ifdef HOSTSIM_LEAK_CHECKED
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libobjc.so\n";
}
#endif

namespace host {

SEL sel_registerName(const char* name) {
  if (name == nullptr) return nullptr;
  // libobjc keeps a selector for every (name, type string) a method was added with, and finds
  // the untyped one by walking them all; its type comparison never matches two equal strings
  // without frame offsets ("v@:"), so every method added, on every boot, lengthens that walk.
  // The untyped selector of a name never changes once made: it is looked up once.
  Selectors& s = selectors();
  {
    std::shared_lock lock(s.mutex);
    auto it = s.byName.find(std::string_view(name));
    if (it != s.byName.end()) return reinterpret_cast<SEL>(it->second);
  }
  ::SEL sel = ::sel_registerName(name);
  std::unique_lock lock(s.mutex);
  s.byName.emplace(::sel_getName(sel), sel);
  return reinterpret_cast<SEL>(sel);
}

const char* sel_getName(SEL sel) {
  return sel != nullptr ? ::sel_getName(rt(sel)) : nullptr;
}

Class objc_getClass(const char* name) {
  if (name == nullptr) return nullptr;
  Names& n = names();
  std::lock_guard lock(n.mutex);
  return hostClass(lookUpLocked(n, name));
}

const char* class_getName(Class cls) {
  if (cls == nullptr) return nullptr;
  const ClassFacts* f = facts(rt(cls));
  return f != nullptr ? f->name : ::class_getName(rt(cls));
}

// The host's root classes are roots: libobjc's own root, Object, stays out of sight.
Class class_getSuperclass(Class cls) {
  ::Class superclass = cls != nullptr ? ::class_getSuperclass(rt(cls)) : nullptr;
  return facts(superclass) != nullptr ? hostClass(superclass) : nullptr;
}

Class object_getClass(id obj) {
  return hostClass(::object_getClass(rt(obj)));
}

id asObject(Class cls) {
  return reinterpret_cast<id>(cls);
}

bool class_addMethod(Class cls, SEL sel, IMP imp, const char* types) {
  if (cls == nullptr || sel == nullptr) return false;
  noteThread();
  const bool added = imp != nullptr && types != nullptr && *types != '\0' &&
                     addRuntimeMethod(rt(cls), rt(sel), rt(imp), types);
  hostsim::timelineLazy("runtime", [&] {
    return std::string((added ? "added " : "kept existing ") + describe(rt(cls), rt(sel)) + " \"" +
                       (types != nullptr ? types : "") + "\"");
  });
  return added;
}

IMP class_getMethodImplementation(Class cls, SEL sel) {
  if (cls == nullptr || sel == nullptr) return nullptr;
  noteThread();
  return hostIMP(::class_getMethodImplementation(rt(cls), rt(sel)));
}

const char* class_getMethodTypes(Class cls, SEL sel) {
  if (cls == nullptr || sel == nullptr) return nullptr;
  ::Method method = ::class_getInstanceMethod(rt(cls), rt(sel));
  return method != nullptr ? writtenTypes(::method_getTypeEncoding(method)) : nullptr;
}

void MSHookMessageEx(Class cls, SEL sel, IMP replacement, IMP* result) {
  if (cls == nullptr || sel == nullptr || replacement == nullptr) return;
  noteThread();
  ::Class c = rt(cls);
  ::SEL s = rt(sel);
  if (::Method own = ownMethod(c, s)) {
    IMP previous = hostIMP(setImplementation(c, own, rt(replacement)));
    if (result != nullptr) *result = previous;
    hostsim::timelineLazy("runtime", [&] { return "hooked " + describe(c, s); });
    return;
  }
  ::Class superclass = ::class_getSuperclass(c);
  ::Method inherited = superclass != nullptr ? ::class_getInstanceMethod(superclass, s) : nullptr;
  if (inherited == nullptr) {
    hostsim::timelineLazy("runtime",
                          [&] { return "hook of " + describe(c, s) + " found no method"; });
    return;
  }
  const char* types = writtenTypes(::method_getTypeEncoding(inherited));
  ::IMP forwarder = rt(hostsim::makeHookForwarder(types, hostClass(c), reinterpret_cast<SEL>(s)));
  if (forwarder == nullptr) {
    hostsim::timelineLazy("runtime", [&] {
      return "hook of " + describe(c, s) + " not installed: no forwarder for \"" + types + "\"";
    });
    return;
  }
  // The saved implementation is in place before the first call can reach the replacement.
  if (result != nullptr) *result = hostIMP(forwarder);
  addRuntimeMethod(c, s, rt(replacement), types);
  hostsim::timelineLazy("runtime", [&] { return "hooked " + describe(c, s) + " (inherited)"; });
}

Class objc_allocateClassPair(Class superclass, const char* name) {
  if (superclass == nullptr || name == nullptr || facts(rt(superclass)) == nullptr) return nullptr;
  if (objc_getClass(name) != nullptr) return nullptr;
  return hostClass(makeClass(rt(superclass), name));
}

void objc_registerClassPair(Class cls) {
  if (cls != nullptr && facts(rt(cls)) != nullptr) registerClass(rt(cls));
}

id class_createInstance(Class cls) {
  const ClassFacts* f = facts(rt(cls));
  if (f == nullptr || ::class_isMetaClass(rt(cls))) return nullptr;
  ::id obj = ::class_createInstance(rt(cls), sizeof(ObjectFacts) + alignof(ObjectFacts));
  if (obj == nullptr) return nullptr;
  ObjectFacts* facts = new (objectFacts(obj)) ObjectFacts;
  if (f->makeState) facts->state.reset(f->makeState());
  return reinterpret_cast<id>(obj);
}

bool respondsToSelector(id obj, SEL sel) {
  if (obj == nullptr || sel == nullptr) return false;
  noteThread();
  return ::class_respondsToSelector(::object_getClass(rt(obj)), rt(sel));
}

bool isKindOfClass(id obj, Class cls) {
  if (obj == nullptr || cls == nullptr) return false;
  for (::Class c = ::object_getClass(rt(obj)); c != nullptr; c = ::class_getSuperclass(c)) {
    if (c == rt(cls)) return true;
  }
  return false;
}

// Classes live as long as the process: counting their references would change nothing.
id objc_retain(id obj) {
  if (obj != nullptr && !isClassObject(rt(obj))) {
    objectFacts(rt(obj))->references.fetch_add(1, std::memory_order_relaxed);
  }
  return obj;
}

// The last reference gone, the object is sent dealloc, as on the platform: a class that keeps
// objects in its instance variables releases them there, then passes dealloc on to its
// superclass; NSObject's frees the object. An object whose class has no dealloc is freed at once.
void objc_release(id obj) {
  if (obj == nullptr || isClassObject(rt(obj))) return;
  ObjectFacts* facts = objectFacts(rt(obj));
  if (facts->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  static const ::SEL dealloc = rt(sel_registerName("dealloc"));
  ::Class cls = ::object_getClass(rt(obj));
  if (::class_respondsToSelector(cls, dealloc)) {
    reinterpret_cast<void (*)(::id, ::SEL)>(reinterpret_cast<void (*)()>(
        ::class_getMethodImplementation(cls, dealloc)))(rt(obj), dealloc);
  } else {
    hostsim::disposeObject(obj);
  }
}

bool class_addIvar(Class cls, const char* name, std::size_t size, std::uint8_t log2Alignment,
                   const char* types) {
  if (cls == nullptr || name == nullptr || types == nullptr || facts(rt(cls)) == nullptr) {
    return false;
  }
  // libobjc adds variables only to a class in construction.
  return ::class_addIvar(rt(cls), name, size, log2Alignment, types);
}

Ivar class_getInstanceVariable(Class cls, const char* name) {
  if (cls == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<Ivar>(::class_getInstanceVariable(rt(cls), name));
}

id object_getIvar(id obj, Ivar ivar) {
  if (obj == nullptr || ivar == nullptr) return nullptr;
  return reinterpret_cast<id>(::object_getIvar(rt(obj), reinterpret_cast<::Ivar>(ivar)));
}

void object_setIvar(id obj, Ivar ivar, id value) {
  if (obj == nullptr || ivar == nullptr) return;
  ::object_setIvar(rt(obj), reinterpret_cast<::Ivar>(ivar), rt(value));
}

// ---- Autorelease pools: one stack per thread ------------------------------------------------

namespace {

struct PoolStack {
  std::vector<id> objects;         // autoreleased into a pool in place, oldest first
  std::vector<std::size_t> marks;  // where each pool in place begins
  std::vector<id> unpooled;        // autoreleased while no pool was in place
  ~PoolStack() {
    // The thread ends: what no pool took goes with it.
    for (auto* list : {&objects, &unpooled}) {
      while (!list->empty()) {
        id obj = list->back();
        list->pop_back();
        objc_release(obj);
      }
    }
  }
};

PoolStack& poolStack() {
  thread_local PoolStack stack;
  return stack;
}

}  // namespace

// With no pool in place the object lives as long as the thread (on a device it would leak):
// released at the thread's end, never under a caller that still holds it.
id objc_autorelease(id obj) {
  if (obj == nullptr || isClassObject(rt(obj))) return obj;
  PoolStack& stack = poolStack();
  (stack.marks.empty() ? stack.unpooled : stack.objects).push_back(obj);
  return obj;
}

void* objc_autoreleasePoolPush() {
  PoolStack& stack = poolStack();
  stack.marks.push_back(stack.objects.size());
  return reinterpret_cast<void*>(stack.marks.size());
}

// Pops the pool and every pool pushed after it; each object autoreleased since is released once,
// newest first (releasing one may autorelease more, which this pool takes too).
void objc_autoreleasePoolPop(void* pool) {
  PoolStack& stack = poolStack();
  const auto depth = reinterpret_cast<std::size_t>(pool);
  if (depth == 0 || depth > stack.marks.size()) return;
  const std::size_t from = stack.marks[depth - 1];
  while (stack.objects.size() > from) {
    id obj = stack.objects.back();
    stack.objects.pop_back();
    objc_release(obj);
  }
  stack.marks.resize(depth - 1);
}

}  // namespace host

namespace hostsim {

Class defineClass(const char* name, Class superclass, std::function<NativeState*()> makeState,
                  std::initializer_list<const char*> objectIvars) {
  ::Class super = superclass != nullptr ? rt(superclass) : ::objc_getClass("Object");
  ::Class cls = makeClass(super, name);
  for (const char* ivar : objectIvars) {
    ::class_addIvar(cls, ivar, sizeof(::id),
                    static_cast<unsigned char>(__builtin_ctz(alignof(::id))), "@");
  }
  if (makeState) {
    for (::Class c : {cls, ::object_getClass(reinterpret_cast<::id>(cls))}) {
      facts(c)->makeState = makeState;
    }
  }
  registerClass(cls);
  return hostClass(cls);
}

void addMethod(Class cls, const char* selector, IMP imp, const char* types) {
  addRuntimeMethod(rt(cls), rt(host::sel_registerName(selector)), rt(imp), types);
}

void addClassMethod(Class cls, const char* selector, IMP imp, const char* types) {
  addRuntimeMethod(::object_getClass(reinterpret_cast<::id>(rt(cls))),
                   rt(host::sel_registerName(selector)), rt(imp), types);
}

void disposeObject(id obj) {
  if (obj == nullptr || isClassObject(rt(obj))) return;
  objectFacts(rt(obj))->~ObjectFacts();
  ::object_dispose(rt(obj));
}

void makePermanent(Class cls) {
  for (::Class c : {rt(cls), ::object_getClass(reinterpret_cast<::id>(rt(cls)))}) {
    if (ClassFacts* f = facts(c)) f->permanent.store(true, std::memory_order_release);
  }
}

NativeState* nativeState(id obj) {
  if (obj == nullptr || isClassObject(rt(obj))) return nullptr;
  return objectFacts(rt(obj))->state.get();
}

long referenceCount(id obj) {
  if (obj == nullptr || isClassObject(rt(obj))) return 0;
  return objectFacts(rt(obj))->references.load(std::memory_order_relaxed);
}

long renamedClasses() {
  Names& n = names();
  std::lock_guard lock(n.mutex);
  return static_cast<long>(n.generations);
}

void resetRuntime() {
  currentEpoch.fetch_add(1, std::memory_order_acq_rel);
  Names& n = names();
  std::lock_guard lock(n.mutex);
  n.successors.clear();
}

void forgetClass(Class cls) {
  ClassFacts* f = facts(rt(cls));
  if (f == nullptr || f->permanent.load(std::memory_order_acquire)) return;
  f->forgotten.store(true, std::memory_order_release);
  Names& n = names();
  std::lock_guard lock(n.mutex);
  auto it = n.successors.find(f->name);
  if (it != n.successors.end() && it->second == rt(cls)) n.successors.erase(it);
}

}  // namespace hostsim
