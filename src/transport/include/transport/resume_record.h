// The resume record: what a partial download file came from, kept beside it as "<target>.resume" so that a
// later run asks for the rest only of that same resource ("If-Range"). It holds the validator of the answer
// whose body began the file: a strong ETag, else the Last-Modified date. Weak ETags never validate a range.
// Platform-free: the native fuzz build (fuzz/) compiles it as it is.
//
// The record is two lines of ASCII, each ending in LF:
//   hvpelk resume 1
//   If-Range: <validator>
#pragma once

#include <string>

namespace hv {

// The longest validator kept; a longer ETag or date validates nothing.
constexpr size_t kLongestValidator = 512;

// The validator an answer offers for a later range: its ETag when strong ("..." of visible ASCII without
// a quote inside, at most kLongestValidator long), else its Last-Modified (visible ASCII and blanks, not
// blank at either end, not starting as an entity tag does, as long at most), else empty.
std::wstring AnswerValidator(const std::wstring& etag, const std::wstring& lastModified);

// The record's bytes for a validator AnswerValidator gave (empty: none).
std::string FormatResumeRecord(const std::wstring& validator);

// The validator a record holds; empty for anything that is not exactly a record of this form with a
// validator AnswerValidator could have given.
std::wstring ParseResumeRecord(const std::string& bytes);

}  // namespace hv
