// A platform that defines host/'s functions and nothing else. Both deliverables are linked a
// second time against it (with every symbol required to resolve), so that a call the engine or
// the pane makes past host/ (into the simulator, say, by a declaration written by hand) fails
// the build here, as it would fail to link for a device. Nothing runs it: every answer is the
// emptiest one.
#include "host/Foundation.h"
#include "host/Platform.h"
#include "host/PropertyList.h"
#include "host/Runtime.h"

namespace host {

SEL sel_registerName(const char*) {
  return nullptr;
}
const char* sel_getName(SEL) {
  return nullptr;
}
Class objc_getClass(const char*) {
  return nullptr;
}
const char* class_getName(Class) {
  return nullptr;
}
Class class_getSuperclass(Class) {
  return nullptr;
}
Class object_getClass(id) {
  return nullptr;
}
bool class_addMethod(Class, SEL, IMP, const char*) {
  return false;
}
IMP class_getMethodImplementation(Class, SEL) {
  return nullptr;
}
const char* class_getMethodTypes(Class, SEL) {
  return nullptr;
}
void MSHookMessageEx(Class, SEL, IMP, IMP*) {}
Class objc_allocateClassPair(Class, const char*) {
  return nullptr;
}
void objc_registerClassPair(Class) {}
id class_createInstance(Class) {
  return nullptr;
}
bool respondsToSelector(id, SEL) {
  return false;
}
bool isKindOfClass(id, Class) {
  return false;
}
id objc_retain(id obj) {
  return obj;
}
void objc_release(id) {}
bool class_addIvar(Class, const char*, std::size_t, std::uint8_t, const char*) {
  return false;
}
Ivar class_getInstanceVariable(Class, const char*) {
  return nullptr;
}
id object_getIvar(id, Ivar) {
  return nullptr;
}
void object_setIvar(id, Ivar, id) {}
id objc_autorelease(id obj) {
  return obj;
}
void* objc_autoreleasePoolPush() {
  return nullptr;
}
void objc_autoreleasePoolPop(void*) {}
id asObject(Class) {
  return nullptr;
}

Result<std::string> readUTF8Text(const std::string&) {
  return Status(Status::Code::Missing, {});
}
Status writeUTF8TextAtomically(const std::string&, std::string_view) {
  return {};
}
void dispatchAfterOnMainQueue(std::int64_t, std::function<void()>) {}
void notificationCenterAddObserver(id, SEL, id, id) {}
void notificationCenterPost(id, id) {}
void darwinNotifyPost(id) {}
void NSLog(std::string_view, std::initializer_list<std::string_view>) {}
void* dlopenFrom(const void*, const char*, int) {
  return nullptr;
}
void* dlsym(void*, const char*) {
  return nullptr;
}
int NSGetExecutablePath(char*, std::uint32_t*) {
  return -1;
}
const Bundle* CFBundleGetMainBundle() {
  return nullptr;
}
id CFBundleGetIdentifier(const Bundle*) {
  return nullptr;
}

StrongRef stringWithUTF8String(std::string_view) {
  return nullptr;
}
std::optional<std::string> UTF8String(id) {
  return std::nullopt;
}
std::size_t CFArrayGetCount(id) {
  return 0;
}
id CFArrayGetValueAtIndex(id, std::size_t) {
  return nullptr;
}
StrongRef arrayWithObjects(const ObjectList&) {
  return nullptr;
}
StrongRef mutableArrayWithObjects(const ObjectList&) {
  return nullptr;
}
ObjectList arrayElements(id) {
  return {};
}
StrongRef propertyListFromValue(const Value&) {
  return nullptr;
}
Value valueFromPropertyList(id) {
  return {};
}

Result<Dictionary> readDictionary(const std::string&) {
  return Status(Status::Code::Missing, {});
}
Status writeDictionaryAtomically(const Dictionary&, const std::string&) {
  return {};
}

}  // namespace host
