#include "api/text_result.h"

#include "support/status.h"

namespace hv {

void StoreText(VARIANT& out, std::wstring_view text) {
  // The copy comes first: a failed allocation leaves the caller's VARIANT as it was. A length past a
  // BSTR's is refused before it could be cut to SysAllocStringLen's 32 bits.
  if (text.size() > kLongestText) Throw(PELK_E_TEXT_RESULT);
  BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (copy == nullptr) Throw(PELK_E_TEXT_RESULT);
  VariantClear(&out);
  V_VT(&out) = VT_BSTR;
  V_BSTR(&out) = copy;
}

}  // namespace hv
