#include "status_names.h"

#include <hvpelk/exports.h>

#include <cstdio>

namespace pelk {
namespace {

#define ENTRY(code, meaning) {code, #code, meaning}
const StatusName kNames[] = {
    ENTRY(PELK_S_OK, "success"),
    ENTRY(PELK_S_NOTHING_OUTSTANDING, "no request outstanding"),
    ENTRY(PELK_S_STILL_RUNNING, "the request is still running"),
    ENTRY(PELK_PHASE_CLOSED, "transfer stopped after an abort"),
    ENTRY(PELK_PHASE_STARTED, "connecting and sending"),
    ENTRY(PELK_PHASE_RESUMING, "resuming a partial file"),
    ENTRY(PELK_PHASE_RECEIVING, "receiving data"),
    ENTRY(PELK_PHASE_FINISHED, "finished"),
    ENTRY(PELK_S_DOWNLOAD_CANCELLED, "download cancelled"),
    ENTRY(PELK_PHASE_VERIFYING, "verifying the checksum"),
    ENTRY(PELK_E_INVALID_HANDLE, "invalid handle"),
    ENTRY(PELK_E_UNEXPECTED, "unexpected failure"),
    ENTRY(PELK_E_ALREADY_RUNNING, "a request is already running"),
    ENTRY(PELK_E_BAD_URL, "the URL cannot be split into its parts"),
    ENTRY(PELK_E_INTERNET_OPEN, "the internet session cannot be opened"),
    ENTRY(PELK_E_SYSTEM_CALL, "a system call failed"),
    ENTRY(PELK_E_TEXT_RESULT, "a text result cannot be handed out"),
    ENTRY(PELK_E_CONNECTION, "the connection or request failed"),
    ENTRY(PELK_E_OPEN_REQUEST, "the HTTP request cannot be opened"),
    ENTRY(PELK_E_SEND, "sending the request failed"),
    ENTRY(PELK_E_READ, "the connection broke while reading"),
    ENTRY(PELK_E_HTTP_408, "HTTP 408 request timeout"),
    ENTRY(PELK_E_CREATE_FILE, "the target file cannot be created"),
    ENTRY(PELK_E_HTTP_404, "HTTP 404 not found"),
    ENTRY(PELK_E_CONTENT_TYPE, "the response has no usable content type"),
    ENTRY(PELK_E_HTTP_BAD_REQUEST, "HTTP 400, 405 or 505"),
    ENTRY(PELK_E_HTTP_SERVER, "HTTP 300 or 500"),
    ENTRY(PELK_E_HTTP_STATUS, "unexpected HTTP status"),
    ENTRY(PELK_E_PROXY_AUTH, "proxy authentication required"),
    ENTRY(PELK_E_TOO_LARGE_2G, "response too large for this Internet Explorer (2 GiB)"),
    ENTRY(PELK_E_TOO_LARGE_4G, "response too large for this Internet Explorer (4 GiB)"),
    ENTRY(PELK_E_CERT_REVOCATION, "certificate revocation status unavailable"),
    ENTRY(PELK_E_DISK_SPACE, "not enough disk space"),
    ENTRY(PELK_E_TIMEOUT, "the time limit ran out"),
    ENTRY(PELK_E_CONNECT_TIMEOUT, "the connection timed out"),
    ENTRY(PELK_E_END_REQUEST, "ending the request failed"),
    ENTRY(PELK_E_CERT_DATE, "the server certificate's date is invalid"),
    ENTRY(PELK_E_CERT_NAME, "the server certificate's name does not match"),
    ENTRY(PELK_E_CHECKSUM, "the file's checksum differs"),
    ENTRY(PELK_E_GZIP, "the gzip-encoded download cannot be decoded"),
    ENTRY(PELK_E_QUERY_OPERATOR, "bad query group operator"),
    ENTRY(PELK_E_LIST_INDEX, "index out of range in the list"),
    ENTRY(PELK_E_NO_OPEN_GROUP, "no open query group"),
    ENTRY(PELK_E_ROOT_NOT_CLOSED, "the query's root group is open"),
    ENTRY(PELK_E_NO_ROOT_GROUP, "the query has no root group"),
    ENTRY(PELK_E_MALFORMED_RESPONSE, "the response is not well-formed XML"),
    ENTRY(PELK_E_EMPTY_RESPONSE, "the response holds no document"),
    ENTRY(PELK_E_SERVICE_UNKNOWN, "the service answered an unrecognised status"),
    ENTRY(PELK_E_SERVICE_900, "service status 900"),
    ENTRY(PELK_E_SERVICE_100_200, "service status 100 or 200"),
    ENTRY(PELK_E_SERVICE_300_600, "service status 300 to 600"),
    ENTRY(PELK_E_SERVICE_700_800, "service status 700 or 800"),
    ENTRY(PELK_E_SERVICE_10, "service status 10"),
    ENTRY(PELK_E_SERVICE_6000, "service status 6000"),
    ENTRY(PELK_E_BAD_INDEX, "no distribution at that index"),
};
#undef ENTRY

}  // namespace

const StatusName& LookUpStatus(int32_t code) {
  for (const StatusName& entry : kNames) {
    if (entry.code == code) return entry;
  }
  static const StatusName unknown{0, "UNKNOWN", "not a status of this library"};
  return unknown;
}

std::string DescribeStatus(int32_t code) {
  const StatusName& entry = LookUpStatus(code);
  char text[160];
  const uint32_t bits = static_cast<uint32_t>(code);
  if (entry.code != code && (bits & 0xFFFF0000u) == 0x80000000u) {
    // A failed system call reports 0x80000000 with the Windows error code in the low bits.
    snprintf(text, sizeof(text), "0x%08X (Windows error %u)", bits, bits & 0xFFFFu);
    return text;
  }
  snprintf(text, sizeof(text), "0x%08X %s (%s)", static_cast<unsigned>(code), entry.name, entry.meaning);
  return text;
}

}  // namespace pelk
