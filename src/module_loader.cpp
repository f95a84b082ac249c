// Finding, loading and instantiating backend modules.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "korvel/korvel.h"
#include "korvel/module.h"

namespace korvel {

namespace {

using Factory = Korvel* (*)(const KorvelConfig*);
using VersionFunction = int (*)();

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}

// Loaded modules by backend name. Handles are never closed: a module's code
// and class-wide values must outlive every client and value it made.
std::map<std::string, Factory>& registry() {
  static std::map<std::string, Factory> modules;
  return modules;
}

bool isPlainName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string hostLibraryDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&registryMutex), &info) == 0 || !info.dli_fname) return ".";
  std::string path = info.dli_fname;
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::vector<std::string> moduleDirectories(const KorvelConfig& config) {
  std::vector<std::string> dirs;
  if (config.moduleDirectory && !config.moduleDirectory->empty()) dirs.push_back(*config.moduleDirectory);
  if (const char* env = std::getenv("KORVEL_MODULE_PATH")) {
    std::string_view rest = env;
    while (!rest.empty()) {
      auto colon = rest.find(':');
      std::string_view entry = rest.substr(0, colon);
      if (!entry.empty()) dirs.emplace_back(entry);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  dirs.push_back(hostLibraryDirectory() + "/" KORVEL_MODULE_SUBDIR_FROM_LIB);
  return dirs;
}

// Tries one file; gives the factory, or nothing with the reason in `why`.
Factory tryLoad(const std::string& path, std::string& why) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    why = "not found";
    return nullptr;
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* err = ::dlerror();
    why = err ? err : "dlopen failed";
    return nullptr;
  }
  auto version = reinterpret_cast<VersionFunction>(::dlsym(handle, KORVEL_MODULE_VERSION_ENTRY));
  auto factory = reinterpret_cast<Factory>(::dlsym(handle, KORVEL_MODULE_ENTRY));
  // A file that is refused was never used, so it may be closed again.
  if (!version || !factory) {
    why = "not a Korvel module (no " KORVEL_MODULE_ENTRY ")";
    ::dlclose(handle);
    return nullptr;
  }
  if (version() != kModuleInterfaceVersion) {
    why = format("built for module interface %d, this host has %d", version(), kModuleInterfaceVersion);
    ::dlclose(handle);
    return nullptr;
  }
  return factory;
}

Factory findModule(const KorvelConfig& config) {
  std::lock_guard<std::mutex> guard(registryMutex());
  auto found = registry().find(config.backend);
  if (found != registry().end()) return found->second;
  std::string tried;
  for (const std::string& dir : moduleDirectories(config)) {
    std::string path = dir + "/" + config.backend + ".so";
    std::string why;
    if (Factory f = tryLoad(path, why)) {
      registry().emplace(config.backend, f);
      return f;
    }
    tried += format("\n  %@: %@", path, why);
  }
  throw InvalidArgumentException(
      format("Unable to load the module of backend '%@'; tried:%@", config.backend, tried));
}

}  // namespace

std::unique_ptr<Korvel> Korvel::create(const KorvelConfig& config) {
  if (!isPlainName(config.backend))
    throw InvalidArgumentException(format("Invalid backend name '%@'", config.backend));
  Factory factory = findModule(config);
  std::unique_ptr<Korvel> client(factory(&config));
  if (!client) throw InvalidArgumentException(format("The module of backend '%@' made no client", config.backend));
  return client;
}

}  // namespace korvel
