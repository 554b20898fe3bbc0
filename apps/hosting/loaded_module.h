// The module libzeb18000.so, loaded as a host loads it: its unit start-up runs on load, IniProc
// opens its screen, and on unload its screens go first, then its unit shut-down runs.
#pragma once

#include <string>

namespace zeb::hosting {

class LoadedModule {
 public:
  // Loads the library that ZEB_MODULE names, else "libzeb18000.so" as the dynamic loader finds
  // it from the program (beside it, through the program's run path), and runs Initialize.
  // Raises Exception "loading the module failed: <reason>" or "the module exports no <name>".
  LoadedModule();
  // Destroys the Application's forms (the module's screens among them), runs Finalize and
  // unloads the library.
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  // Enters the module; an error that IniProc handed to the host's exception handler is raised
  // here instead.
  void iniProc();

  // The path the library was asked for.
  const std::string& path() const { return path_; }

 private:
  using Entry = void (*)();
  Entry entry(const char* name);

  std::string path_;
  void* handle_ = nullptr;
  Entry initialize_ = nullptr;
  Entry iniProc_ = nullptr;
  Entry finalize_ = nullptr;
};

}  // namespace zeb::hosting
