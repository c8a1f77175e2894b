// Header-only helper for C++ callers that load hvpelk.dll at run time, as an installer does: loads the
// library and resolves the 25 exports by name. Loaded() is false when the DLL or any export is missing;
// the destructor unloads the library.
#ifndef HVPELK_LOADER_H
#define HVPELK_LOADER_H

#include <hvpelk/exports.h>

#include <string>

namespace hvpelk {

class Library {
 public:
#define HVPELK_FOR_EACH_EXPORT(X)                                                                            \
  X(PelkOpen) X(PelkClose) X(PelkPingServer) X(PelkSetParentWindow) X(PelkQueryReset) X(PelkSetDistPackageGuid) \
  X(PelkSetDistGuidAndVersion) X(PelkQuerySubmit) X(PelkQueryCheck) X(PelkQueryCancel) X(PelkGetDistCount)     \
  X(PelkGetDistDownloadSize) X(PelkGetDistChecksum) X(PelkGetDistDownloadURL) X(PelkGetDistPackageGUID)        \
  X(PelkGetDistGUID) X(PelkGetDistLanguage) X(PelkGetDistVersion) X(PelkGetProductName) X(PelkGetContentId)    \
  X(PelkDownloadSubmit) X(PelkDownloadCheck) X(PelkDownloadCancel) X(PelkReportSubmit) X(PelkReportReset)

#define HVPELK_DECLARE_POINTER(name) decltype(&::name) name = nullptr;
  HVPELK_FOR_EACH_EXPORT(HVPELK_DECLARE_POINTER)
#undef HVPELK_DECLARE_POINTER

  // Loads the DLL at path (a bare name is searched the usual way).
  explicit Library(const std::wstring& path = L"hvpelk.dll") : module_(LoadLibraryW(path.c_str())) {
    if (module_ == nullptr) return;
    bool all = true;
#define HVPELK_RESOLVE(name)                                                                  \
  name = reinterpret_cast<decltype(&::name)>(reinterpret_cast<void*>(GetProcAddress(module_, #name))); \
  all = all && name != nullptr;
    HVPELK_FOR_EACH_EXPORT(HVPELK_RESOLVE)
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
