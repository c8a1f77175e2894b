#include "api/text_result.h"

#include <gtest/gtest.h>

#include "support/status.h"

namespace hv {
namespace {

// A COM object that counts its releases: proof that the VARIANT's old content is freed.
class CountedUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG references = 1;
};

TEST(TextResult, ReplacesTheVariantsContentWithABstrCopyOnlyOnceTheCopyIsMade) {
  CountedUnknown object;
  VARIANT out;
  VariantInit(&out);
  V_VT(&out) = VT_UNKNOWN;
  V_UNKNOWN(&out) = &object;

  StoreText(out, L"https://example.invalid/file.bin");
  EXPECT_EQ(0u, object.references);
  ASSERT_EQ(VT_BSTR, V_VT(&out));
  EXPECT_STREQ(L"https://example.invalid/file.bin", V_BSTR(&out));
  EXPECT_EQ(32u, SysStringLen(V_BSTR(&out)));

  // A BSTR already in the VARIANT is replaced; an empty text gives an empty BSTR, not a null one.
  StoreText(out, L"");
  ASSERT_EQ(VT_BSTR, V_VT(&out));
  ASSERT_NE(nullptr, V_BSTR(&out));
  EXPECT_EQ(0u, SysStringLen(V_BSTR(&out)));

  // A text no BSTR can hold (only its length is looked at) fails and leaves the VARIANT as it was.
  const wchar_t kept[] = L"kept";
  StoreText(out, kept);
  EXPECT_EQ(PELK_E_TEXT_RESULT, StatusOf([&] { StoreText(out, std::wstring_view(kept, kLongestText + 1)); }));
  ASSERT_EQ(VT_BSTR, V_VT(&out));
  EXPECT_STREQ(L"kept", V_BSTR(&out));
  VariantClear(&out);
}

}  // namespace
}  // namespace hv
