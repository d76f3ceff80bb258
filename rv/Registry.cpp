#include "Registry.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "embedded/EmbeddedBackend.h"

// Where the modules lie relative to the folder of the object that holds this code: the shared
// library, or a program that links the library statically (RV_MODULE_FROM_PROGRAM).
#ifndef RV_MODULE_SUBDIR
#error "RV_MODULE_SUBDIR must name the modules' folder relative to the library or program"
#endif

namespace rv {

namespace {

// A backend that lives in a module of its own. The module exports
// "Backend* rv_backend(const char* version)", which gives null unless version is its own.
struct Module {
  const char* backend;
  const char* file;
  Backend* loaded;
};

Module gModules[] = {
    {"amqp", "rvic-amqp.so", nullptr},
};
std::mutex gModulesMutex;

std::string ModuleDir() {
  const char* dir = ::secure_getenv("RV_MODULE_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  std::string self;
#ifdef RV_MODULE_FROM_PROGRAM
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) self.assign(path, static_cast<size_t>(n));
#else
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&ModuleDir), &info) != 0 && info.dli_fname != nullptr) {
    self = info.dli_fname;
  }
#endif
  size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" +
         RV_MODULE_SUBDIR;
}

Status Load(Module* module) {
  const std::string path = ModuleDir() + "/" + module->file;
  const std::string what = "backend \"" + std::string(module->backend) + "\" needs the module " +
                           path + (::secure_getenv("RV_MODULE_DIR") ? " (from RV_MODULE_DIR)" : "");
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         what + ", which cannot be loaded: " + (why != nullptr ? why : "unknown"));
  }
  using Entry = Backend* (*)(const char*);
  auto entry = reinterpret_cast<Entry>(::dlsym(handle, "rv_backend"));
  Backend* backend = entry != nullptr ? entry(RVVersion()) : nullptr;
  if (backend == nullptr) {
    ::dlclose(handle);
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, what + ", which does not belong to version " +
                                                       RVVersion() + " of the library");
  }
  module->loaded = backend;  // never unloaded: its objects may live until the process ends
  return Status::Ok();
}

}  // namespace

Status Registry::Find(const std::string& backendName, Backend** backend) {
  if (backendName.empty() || backendName == kDefaultBackend) {
    *backend = &EmbeddedBackend::Instance();
    return Status::Ok();
  }
  for (Module& m : gModules) {
    if (backendName != m.backend) continue;
    std::lock_guard<std::mutex> lock(gModulesMutex);
    if (m.loaded == nullptr) {
      Status s = Load(&m);
      if (!s.ok()) return s;
    }
    *backend = m.loaded;
    return Status::Ok();
  }
  return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                       "backend \"" + backendName + "\" is not known to this library");
}

Status Registry::Open(const DataRoot& root, const std::string& name, QueueManagerDir* qm,
                      Backend** backend) {
  DataRoot::QueueManagerDefinition definition;
  auto dir = std::make_shared<UniqueFd>();
  Status s = root.OpenQueueManager(name, &definition, dir.get());
  if (!s.ok()) return s;
  s = Find(definition.backend, backend);
  if (!s.ok()) return Status::Error(s.reason(), "queue manager " + name + ": " + s.message());
  qm->name = name;
  qm->dir = std::move(dir);
  qm->fs = &root.fs();
  return Status::Ok();
}

}  // namespace rv
