#include "api/text_result.h"

#include "support/status.h"

namespace hv {

void StoreText(VARIANT& out, const std::wstring& text) {
  VariantClear(&out);
  BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (copy == nullptr) Throw(PELK_E_TEXT_RESULT);
  V_VT(&out) = VT_BSTR;
  V_BSTR(&out) = copy;
}

}  // namespace hv
