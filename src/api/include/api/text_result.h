// Hands text to a caller as a BSTR inside the caller's VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace hv {

// Clears the VARIANT (freeing whatever it held), then stores a BSTR copy of text with VT_BSTR.
// Throws PELK_E_TEXT_RESULT when the BSTR cannot be made; an empty text gives an empty BSTR.
void StoreText(VARIANT& out, const std::wstring& text);

}  // namespace hv
