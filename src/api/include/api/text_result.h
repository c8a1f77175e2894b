// Hands text to a caller as a BSTR inside the caller's VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string_view>

namespace hv {

// The longest text handed out: 2^30 units, 2 GiB, more than a 32-bit process can hold twice.
constexpr size_t kLongestText = 0x40000000;

// Stores a BSTR copy of text with VT_BSTR, clearing the VARIANT first (freeing whatever it held).
// Throws PELK_E_TEXT_RESULT when the BSTR cannot be made, leaving the VARIANT untouched; an empty text
// gives an empty BSTR.
void StoreText(VARIANT& out, std::wstring_view text);

}  // namespace hv
