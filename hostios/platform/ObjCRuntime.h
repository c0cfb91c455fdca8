// libobjc.A's C API (/usr/lib/libobjc.A.dylib), declared with host/'s own types: an object, a
// class, a selector, a method and an instance variable are pointers to opaque records either
// way, so the declarations below are the platform's functions as they are exported. The
// messengers (objc_msgSend, objc_msgSendSuper) are declared by host/Runtime.h, where every send
// casts them to its exact type.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "host/Runtime.h"

namespace ios {

using host::BOOL;
using host::Class;
using host::id;
using host::IMP;
using host::Ivar;
using host::SEL;
struct objc_method;
using Method = objc_method*;

// The record objc_msgSendSuper reads: the receiver and the class where the search begins.
struct objc_super {
  id receiver;
  Class super_class;
};

extern "C" {
SEL sel_registerName(const char* name);
const char* sel_getName(SEL sel);
Class objc_getClass(const char* name);
const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);
Class object_getClass(id obj);
BOOL class_addMethod(Class cls, SEL sel, IMP imp, const char* types);
IMP class_getMethodImplementation(Class cls, SEL sel);
Method class_getInstanceMethod(Class cls, SEL sel);
const char* method_getTypeEncoding(Method method);
Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes);
void objc_registerClassPair(Class cls);
BOOL class_addIvar(Class cls, const char* name, size_t size, uint8_t alignment, const char* types);
Ivar class_getInstanceVariable(Class cls, const char* name);
id object_getIvar(id obj, Ivar ivar);
void object_setIvar(id obj, Ivar ivar, id value);
id objc_retain(id obj);
void objc_release(id obj);
id objc_autorelease(id obj);
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* pool);
}

// arm64's BOOL is C's bool (not signed char as on 32-bit and Intel), which is what host::BOOL
// says; the runtime's records are two pointers.
static_assert(sizeof(BOOL) == 1 && static_cast<BOOL>(2) == true, "arm64 BOOL is bool");
static_assert(sizeof(objc_super) == 16, "objc_super: receiver and class");
static_assert(sizeof(id) == 8 && sizeof(SEL) == 8 && sizeof(IMP) == 8, "LP64 runtime");

}  // namespace ios
