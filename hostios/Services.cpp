// host/Platform.h's services on the device: the main queue through libdispatch, the
// notification centres, the system log, run-time loading and the process's facts.
#include <dlfcn.h>
#include <mach-o/dyld.h>

#include <string>

#include "host/Foundation.h"
#include "host/Platform.h"
#include "hostios/platform/CoreFoundation.h"
#include "hostios/platform/Dispatch.h"
#include "hostios/platform/NSLog.h"

namespace host {

namespace {

void runQueuedWork(void* context) noexcept {
  auto* work = static_cast<std::function<void()>*>(context);
  {
    AutoreleasePool pool;
    (*work)();
  }
  delete work;
}

id defaultNotificationCenter() {
  Class centerClass = objc_getClass("NSNotificationCenter");
  return msgSend<id>(asObject(centerClass), sel_registerName("defaultCenter"));
}

}  // namespace

void dispatchAfterOnMainQueue(std::int64_t delayNanoseconds, std::function<void()> work) {
  auto* context = new std::function<void()>(std::move(work));
  ios::dispatch_after_f(ios::dispatch_time(ios::DISPATCH_TIME_NOW, delayNanoseconds),
                        &ios::_dispatch_main_q, context, &runQueuedWork);
}

void notificationCenterAddObserver(id observer, SEL selector, id name, id object) {
  msgSend<void, id, SEL, id, id>(defaultNotificationCenter(),
                                 sel_registerName("addObserver:selector:name:object:"), observer,
                                 selector, name, object);
}

void notificationCenterPost(id name, id object) {
  msgSend<void, id, id>(defaultNotificationCenter(),
                        sel_registerName("postNotificationName:object:"), name, object);
}

void darwinNotifyPost(id name) {
  ios::CFNotificationCenterPostNotification(ios::CFNotificationCenterGetDarwinNotifyCenter(), name,
                                            nullptr, nullptr, true);
}

// The message is put together here, each "%@" taking the next argument, and handed to NSLog
// whole as the one argument of "%@", so nothing in it is read as a format.
void NSLog(std::string_view format, std::initializer_list<std::string_view> arguments) {
  std::string message;
  auto next = arguments.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format.compare(i, 2, "%@") == 0 && next != arguments.end()) {
      message += *next++;
      ++i;
    } else {
      message += format[i];
    }
  }
  StrongRef whole = stringWithUTF8String("%@");
  StrongRef text = stringWithUTF8String(message);
  if (whole && text) ios::NSLog(whole.get(), text.get());
}

// dyld searches "@rpath/..." through the run-paths of the image that calls dlopen, and this
// code is linked into the calling library itself, so its run-paths are the ones searched.
void* dlopenFrom(const void*, const char* path, int mode) {
  return ::dlopen(path, mode);
}

void* dlsym(void* handle, const char* symbol) {
  return ::dlsym(handle, symbol);
}

int NSGetExecutablePath(char* buffer, std::uint32_t* size) {
  return ::_NSGetExecutablePath(buffer, size);
}

const Bundle* CFBundleGetMainBundle() {
  return ios::CFBundleGetMainBundle();
}

id CFBundleGetIdentifier(const Bundle* bundle) {
  return bundle == nullptr ? nullptr : ios::CFBundleGetIdentifier(bundle);
}

}  // namespace host
