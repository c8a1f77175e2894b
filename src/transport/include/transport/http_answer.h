// What an HTTP answer says (answer_rules.h), read once off its request handle, and what the failures of
// sending a request mean to the library's callers.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

#include "support/status.h"
#include "transport/answer_rules.h"

namespace hv {

// One header query of an answer, with the arguments of HttpQueryInfoW; false when it failed, the thread's
// last error saying why.
using HeaderQuery = std::function<bool(DWORD infoLevel, void* buffer, DWORD* bytes)>;

// Reads the status and the headers above through query, once the answer has arrived.
HttpAnswer ReadHttpAnswer(const HeaderQuery& query);

// The status of a request that could not be sent (error: the thread's last error after the send; post:
// the request was a POST).
StatusCode SendFailure(DWORD error, bool post);

}  // namespace hv
