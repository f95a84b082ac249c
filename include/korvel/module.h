// For backend modules: how a module exports its client class.
//
// Each module is a shared object with one C entry point of a fixed name
// that makes a client of the module's class from a configuration:
//
//   KORVEL_MODULE(KorvelSQLite)
//
// The host checks the module's interface version before calling it, so a
// module built against another version of these headers is refused with a
// clear error instead of crashing.
#pragma once

#include "korvel/korvel.h"

namespace korvel {
// Raised whenever the layout of Korvel or of the values changes.
inline constexpr int kModuleInterfaceVersion = 1;
}  // namespace korvel

#define KORVEL_MODULE_ENTRY "korvel_module_create"
#define KORVEL_MODULE_VERSION_ENTRY "korvel_module_interface_version"

#define KORVEL_MODULE(ClassName)                                                                  \
  extern "C" __attribute__((visibility("default"))) int korvel_module_interface_version() {        \
    return ::korvel::kModuleInterfaceVersion;                                                     \
  }                                                                                               \
  extern "C" __attribute__((visibility("default"))) ::korvel::Korvel* korvel_module_create(        \
      const ::korvel::KorvelConfig* config) {                                                     \
    return new ClassName(*config);                                                                \
  }
