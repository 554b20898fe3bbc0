#include "hosting/loaded_module.h"

#include <dlfcn.h>

#include <cstdlib>
#include <exception>
#include <utility>

#include "host/exception_handler.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::hosting {

LoadedModule::LoadedModule() {
  const char* path = std::getenv("ZEB_MODULE");
  path_ = path != nullptr && *path != '\0' ? path : "libzeb18000.so";
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    throw platform::Exception(std::string("loading the module failed: ") + dlerror());
  }
  try {
    initialize_ = entry("Initialize");
    iniProc_ = entry("IniProc");
    finalize_ = entry("Finalize");
  } catch (...) {
    dlclose(handle_);
    throw;
  }
  initialize_();
}

LoadedModule::~LoadedModule() {
  platform::ui::application().destroyOwnedForms();
  finalize_();
  dlclose(handle_);
}

void LoadedModule::iniProc() {
  std::exception_ptr error;
  host::ExceptionHandler previous =
      host::setExceptionHandler([&error](std::exception_ptr e) { error = std::move(e); });
  iniProc_();
  host::setExceptionHandler(std::move(previous));
  if (error) std::rethrow_exception(error);
}

LoadedModule::Entry LoadedModule::entry(const char* name) {
  auto address = reinterpret_cast<Entry>(dlsym(handle_, name));
  if (address == nullptr) throw platform::Exception(std::string("the module exports no ") + name);
  return address;
}

}  // namespace zeb::hosting
