// Header-only helper for C++ callers that load hvpelk.dll at run time, as an installer does: loads the
// library and resolves every export by name. Loaded() is false when the DLL or any export is missing;
// the destructor unloads the library.
#ifndef HVPELK_LOADER_H
#define HVPELK_LOADER_H

#include <hvpelk/exports.h>

#include <string>

namespace hvpelk {

class Library {
 public:
#define HVPELK_DECLARE_POINTER(name, parameters) name##Fn name = nullptr;
  PELK_EXPORT_TABLE(HVPELK_DECLARE_POINTER)
#undef HVPELK_DECLARE_POINTER

  // Loads the DLL at path (a bare name is searched the usual way).
  explicit Library(const std::wstring& path = L"hvpelk.dll") : module_(LoadLibraryW(path.c_str())) {
    if (module_ == nullptr) return;
    bool all = true;
#define HVPELK_RESOLVE(name, parameters)                                                           \
  name = reinterpret_cast<name##Fn>(reinterpret_cast<void*>(GetProcAddress(module_, #name))); \
  all = all && name != nullptr;
    PELK_EXPORT_TABLE(HVPELK_RESOLVE)
#undef HVPELK_RESOLVE
    loaded_ = all;
  }
  ~Library() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const { return loaded_; }
  HMODULE Module() const { return module_; }

 private:
  HMODULE module_;
  bool loaded_ = false;
};

}  // namespace hvpelk

#endif  // HVPELK_LOADER_H
