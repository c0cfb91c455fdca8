// The hook's forwarders are libffi closures (see HookForwarders.h).
#include "hostsim/HookForwarders.h"

#include <ffi.h>
#include <objc/runtime.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace hostsim {

namespace {

struct Forwarder {
  ::Class cls = nullptr;
  host::SEL sel = nullptr;
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
  // libobjc's own superclass: the host's view hides its root class, Object, whose methods a
  // class on it inherits all the same.
  ::Class superclass = ::class_getSuperclass(forwarder->cls);
  host::IMP target = superclass != nullptr
                         ? host::class_getMethodImplementation(
                               reinterpret_cast<host::Class>(superclass), forwarder->sel)
                         : nullptr;
  if (target != nullptr) {
    ffi_call(cif, target, result, arguments);
  } else if (cif->rtype->type != FFI_TYPE_VOID) {
    std::memset(result, 0, std::max<std::size_t>(cif->rtype->size, sizeof(ffi_arg)));
  }
}

}  // namespace

host::IMP makeHookForwarder(const char* types, host::Class cls, host::SEL sel) noexcept {
  if (types == nullptr || cls == nullptr || sel == nullptr) return nullptr;
  try {
    auto forwarder = std::make_unique<Forwarder>();
    forwarder->cls = reinterpret_cast<::Class>(cls);
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
    auto imp = reinterpret_cast<host::IMP>(forwarder->code);
    std::lock_guard lock(forwardersMutex);
    forwarders().push_back(std::move(forwarder));
    return imp;
  } catch (...) {
    return nullptr;  // out of memory: the hook says it was not installed
  }
}

}  // namespace hostsim
