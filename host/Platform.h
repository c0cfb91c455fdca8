// The host's ordinary services: UTF-8 text files, the main queue, one-time initialisation,
// the in-process and Darwin notification centres, the system log, run-time loading of
// libraries, and facts about the running process.
//
// Threads, for all of host/ (this file, Runtime.h and PropertyList.h). Safe from any thread at
// once, with no lock of the caller's: reading and atomically replacing text and property-list
// files (other processes may replace the same files meanwhile; of two overlapping replacements
// the later one wins), dispatchOnce, dlopen and dlsym, the process facts (NSGetExecutablePath,
// the main bundle), looking up selectors and classes, and retaining and releasing objects.
// Everything else only on the main thread: the main queue, both notification centres, the
// system log, and sending messages to the host's objects; changing classes (adding methods,
// hooking, defining classes) also on the thread that loads a library, from its initialiser,
// before the library's methods can be reached. The host calls the system back on the main
// thread: queued work, its own messages, and notification deliveries, which run on the thread
// that posts. Property-list values are plain values: one value, one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

#include "host/Runtime.h"
#include "host/Status.h"

namespace host {

// ---- UTF-8 text files ----------------------------------------------------------------------

// The text of the file at `path`, whole. Fails Missing when there is no file, Unreadable when
// there is one that could not be read (an I/O error, no permission, a folder), Malformed when its
// bytes are not UTF-8; the message is the one NSString's stringWithContentsOfFile:encoding:error:
// gives.
Result<std::string> readUTF8Text(const std::string& path);

// Writes `text` whole to `path`, atomically: a reader sees the old file or the new one, never a
// part. On failure (Unwritable) the old file stays byte for byte and the message is the one
// NSString's writeToFile:atomically:encoding:error: gives.
Status writeUTF8TextAtomically(const std::string& path, std::string_view text);

// ---- Main queue and one-time initialisation -------------------------------------------------

// Runs `work` on the main queue `delayNanoseconds` after now (on the host's clock).
void dispatchAfterOnMainQueue(std::int64_t delayNanoseconds, std::function<void()> work);

// dispatch_once: the first caller runs `work`; callers arriving meanwhile wait for it; later
// callers return after one read of the token.
using OnceToken = std::once_flag;
template <class F>
void dispatchOnce(OnceToken& token, F&& work) {
  std::call_once(token, std::forward<F>(work));
}

// ---- In-process notification centre (NSNotificationCenter's default centre) ----------------

// Keeps every observation, duplicates included. `name` is a string object (nil: any name);
// `object` nil: from any sender.
void notificationCenterAddObserver(id observer, SEL selector, id name, id object);
// Delivers synchronously, on the calling thread, once per matching observation, in the order
// they were added. The observer's method receives no argument when its type string is "v@:".
void notificationCenterPost(id name, id object);

// ---- Darwin notify centre and system log -----------------------------------------------------

// CFNotificationCenterPostNotification on the Darwin notify centre: `name` is a string object;
// no object, no user information, delivered immediately.
void darwinNotifyPost(id name);

// NSLog: each "%@" in `format` takes the next argument, in order.
void NSLog(std::string_view format, std::initializer_list<std::string_view> arguments = {});

// ---- Run-time loading ------------------------------------------------------------------------

// dlopen as the calling library would do it: "@rpath/..." is searched through the calling
// library's own run-paths, "@loader_path" is that library's folder, and absolute paths are on
// the device. `anchor` is any address inside the calling library. Answers nullptr on failure.
void* dlopenFrom(const void* anchor, const char* path, int mode);
inline void* dlopen(const char* path, int mode) {
  static const char anchor = 0;  // one per library: tells the loader who is asking
  return dlopenFrom(&anchor, path, mode);
}
void* dlsym(void* handle, const char* symbol);
// RTLD_NOW: every symbol resolved at once.
constexpr int kRtldNow = 2;

// ---- The running process ---------------------------------------------------------------------

// _NSGetExecutablePath: copies the executable's path with its NUL into `buffer` when it fits in
// `*size` bytes and answers 0; otherwise sets `*size` to the size needed and answers -1.
int NSGetExecutablePath(char* buffer, std::uint32_t* size);

// CFBundleGetMainBundle and CFBundleGetIdentifier. Either may be null; the identifier is a
// string object that lives as long as the bundle.
struct Bundle;
const Bundle* CFBundleGetMainBundle();
id CFBundleGetIdentifier(const Bundle* bundle);

// ---- BackBoardServices -----------------------------------------------------------------------

// BKSTerminateApplicationForReasonAndReportWithDescription, which the system looks up at run
// time: ends the application whose bundle identifier (a string object) is given, for a reason
// code, with a description (a string object) for the system's report.
using BKSTerminateApplicationFunction = void (*)(id bundleIdentifier, int reason, BOOL report,
                                                 id description);

}  // namespace host
