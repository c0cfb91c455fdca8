// Forwarders for hooks of methods that the hooked class only inherits. Such a hook adds the
// replacement to the class itself, and hands the caller a forwarder as the "previous
// implementation". As hooking libraries make a trampoline per hook on the device, every hook gets
// a forwarder of its own, made at run time with the method's signature: it is bound to the
// hooked class and selector and, when called, calls the superclass's implementation current at
// the time of the call with the arguments it was given, so hooks made in any order down a chain
// each reach the right one.
#pragma once

#include "host/Runtime.h"

namespace hostsim {

// A forwarder for `sel` of `cls`, whose inherited method has the signature that the type string
// `types` describes; nullptr when the signature holds a type that a forwarder cannot pass on
// (a structure, union, array or bit field) or the string is malformed. When the superclass
// answers nothing at the time of a call, the forwarder does nothing and returns a
// value-initialised result. A forwarder lives as long as the process (as the class it serves).
host::IMP makeHookForwarder(const char* types, host::Class cls, host::SEL sel) noexcept;

}  // namespace hostsim
