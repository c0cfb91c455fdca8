// host/Runtime.h on the device: each function is libobjc's own, or CydiaSubstrate's hook.
#include "host/Runtime.h"

#include "hostios/platform/ObjCRuntime.h"
#include "hostios/platform/Substrate.h"

namespace host {

SEL sel_registerName(const char* name) {
  return ios::sel_registerName(name);
}
const char* sel_getName(SEL sel) {
  return ios::sel_getName(sel);
}
Class objc_getClass(const char* name) {
  return ios::objc_getClass(name);
}
const char* class_getName(Class cls) {
  return ios::class_getName(cls);
}
Class class_getSuperclass(Class cls) {
  return ios::class_getSuperclass(cls);
}
Class object_getClass(id obj) {
  return ios::object_getClass(obj);
}
bool class_addMethod(Class cls, SEL sel, IMP imp, const char* types) {
  return ios::class_addMethod(cls, sel, imp, types);
}
IMP class_getMethodImplementation(Class cls, SEL sel) {
  return ios::class_getMethodImplementation(cls, sel);
}
const char* class_getMethodTypes(Class cls, SEL sel) {
  ios::Method method = ios::class_getInstanceMethod(cls, sel);
  return method == nullptr ? nullptr : ios::method_getTypeEncoding(method);
}
void MSHookMessageEx(Class cls, SEL sel, IMP replacement, IMP* result) {
  ios::MSHookMessageEx(cls, sel, replacement, result);
}
Class objc_allocateClassPair(Class superclass, const char* name) {
  if (superclass == nullptr) return nullptr;
  return ios::objc_allocateClassPair(superclass, name, 0);
}
void objc_registerClassPair(Class cls) {
  ios::objc_registerClassPair(cls);
}
// alloc and init, so that a Foundation ancestor's own state is set up as it expects.
id class_createInstance(Class cls) {
  if (cls == nullptr) return nullptr;
  id allocated = msgSend<id>(asObject(cls), ios::sel_registerName("alloc"));
  return msgSend<id>(allocated, ios::sel_registerName("init"));
}
bool respondsToSelector(id obj, SEL sel) {
  return msgSend<BOOL, SEL>(obj, ios::sel_registerName("respondsToSelector:"), sel);
}
bool isKindOfClass(id obj, Class cls) {
  return msgSend<BOOL, Class>(obj, ios::sel_registerName("isKindOfClass:"), cls);
}
id objc_retain(id obj) {
  return ios::objc_retain(obj);
}
void objc_release(id obj) {
  ios::objc_release(obj);
}
bool class_addIvar(Class cls, const char* name, std::size_t size, std::uint8_t log2Alignment,
                   const char* types) {
  return ios::class_addIvar(cls, name, size, log2Alignment, types);
}
Ivar class_getInstanceVariable(Class cls, const char* name) {
  return ios::class_getInstanceVariable(cls, name);
}
id object_getIvar(id obj, Ivar ivar) {
  return ios::object_getIvar(obj, ivar);
}
void object_setIvar(id obj, Ivar ivar, id value) {
  ios::object_setIvar(obj, ivar, value);
}
id objc_autorelease(id obj) {
  return ios::objc_autorelease(obj);
}
void* objc_autoreleasePoolPush() {
  return ios::objc_autoreleasePoolPush();
}
void objc_autoreleasePoolPop(void* pool) {
  ios::objc_autoreleasePoolPop(pool);
}
id asObject(Class cls) {
  return reinterpret_cast<id>(cls);
}

}  // namespace host
