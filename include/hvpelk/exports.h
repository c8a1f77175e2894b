/* hvpelk: the update client library's public interface.
 *
 * Every function uses the cdecl convention, returns a 32-bit status code and never returns data through
 * its return value. Text goes in as NUL-terminated UTF-16 and comes out as a BSTR inside a caller-supplied,
 * initialised VARIANT (a getter that succeeds clears it first; one that fails leaves it untouched; the
 * caller frees the result with VariantClear). Handles are 1-based and never reused; 0 is never issued;
 * PelkOpen stores 0 on a failure. Null pointers are rejected with PELK_E_UNEXPECTED. Compiles as C and as
 * C++.
 *
 * Waiting: time limits are milliseconds, 0 does not wait, -1 waits without limit. Only PelkDownloadCancel
 * returns at once. PelkQueryCancel, PelkClose, a second PelkQuerySubmit or PelkDownloadSubmit, and a call
 * whose nonzero time limit runs out (PELK_E_TIMEOUT) abort the running request and wait for its worker;
 * PelkClose does so holding the connection table's lock, so calls on other handles wait too. PelkPingServer
 * always waits for the answer (a limit of 0 as -1); PelkReportSubmit waits without a limit. A running read
 * ends with the server's next write; one that has waited 100 ms on a server sending nothing is ended on
 * Windows by the abort; under Wine the worker goes on until the server sends again or the 300 s receive
 * timeout ends. PelkDownloadCheck returns PELK_S_NOTHING_OUTSTANDING before any download was submitted,
 * and never waits.
 *
 * The status codes and the functions are each listed once, in the two tables below; everything else (the
 * constants, the prototypes, the DLL's export list, the NSIS include's defines and macros, run-time
 * loaders, readable names) is made from them. */
#ifndef HVPELK_EXPORTS_H
#define HVPELK_EXPORTS_H

#include <stdint.h>
#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#define PELK_CALL __cdecl
#else
#define PELK_CALL
typedef struct tagVARIANT VARIANT;
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t PelkStatus;

/* Every status code: X(name, value, meaning). A failed file operation during a download also reports
 * 0x80000000 plus the Windows error code, which is not listed. */
#define PELK_STATUS_TABLE(X)                                                                                \
  /* Success and information. */                                                                            \
  X(PELK_S_OK, 0x00000000, "success")                                                                       \
  X(PELK_S_NOTHING_OUTSTANDING, 0x40001001, "no request outstanding (none submitted, collected, or cancelled)") \
  X(PELK_S_STILL_RUNNING, 0x40001002, "the request is still running; poll again")                           \
  X(PELK_PHASE_CLOSED, 0x40002001, "transfer stopped quietly after an abort")                               \
  X(PELK_PHASE_STARTED, 0x40002002, "transfer started: connecting and sending")                             \
  X(PELK_PHASE_RESUMING, 0x40002003, "transfer resuming a partial file")                                    \
  X(PELK_PHASE_RECEIVING, 0x40002004, "transfer receiving data")                                            \
  X(PELK_PHASE_FINISHED, 0x40002005, "transfer complete (and verified when asked)")                         \
  X(PELK_S_DOWNLOAD_CANCELLED, 0x40002006, "download cancelled by the caller (statistics only)")            \
  X(PELK_PHASE_VERIFYING, 0x40002007, "transfer verifying the file's checksum")                             \
  /* Library and job failures. */                                                                           \
  X(PELK_E_INVALID_HANDLE, 0x80001001, "invalid handle: 0, negative, never issued, or closed")              \
  X(PELK_E_UNEXPECTED, 0x80001002, "unexpected failure, or a null argument")                                \
  X(PELK_E_ALREADY_RUNNING, 0x80001004, "a request already runs on this job")                               \
  X(PELK_E_BAD_URL, 0x80001006, "the URL cannot be split into its parts")                                   \
  X(PELK_E_INTERNET_OPEN, 0x80001007, "the internet session cannot be opened")                              \
  X(PELK_E_SYSTEM_CALL, 0x80001008, "download phase after a file operation failed")                         \
  X(PELK_E_TEXT_RESULT, 0x80001012, "a text result cannot be handed out")                                   \
  /* HTTP transport failures. */                                                                            \
  X(PELK_E_CONNECTION, 0x80002001, "network failure, HTTP 401/403/410/502/503/504, or a short body")        \
  X(PELK_E_OPEN_REQUEST, 0x80002002, "the HTTP request cannot be opened")                                   \
  X(PELK_E_SEND, 0x80002003, "sending the request failed")                                                  \
  X(PELK_E_READ, 0x80002004, "the connection broke while reading")                                          \
  X(PELK_E_HTTP_408, 0x80002005, "HTTP 408")                                                                \
  X(PELK_E_CREATE_FILE, 0x80002006, "the target file cannot be created")                                    \
  X(PELK_E_HTTP_404, 0x80002007, "HTTP 404")                                                                \
  X(PELK_E_CONTENT_TYPE, 0x80002008, "a download without a usable content type")                            \
  X(PELK_E_HTTP_BAD_REQUEST, 0x80002009, "HTTP 400, 405 or 505")                                            \
  X(PELK_E_HTTP_SERVER, 0x8000200a, "HTTP 300 or 500")                                                      \
  X(PELK_E_HTTP_STATUS, 0x8000200b, "any other HTTP status, or none readable")                              \
  X(PELK_E_PROXY_AUTH, 0x8000200c, "proxy credentials required and not given")                              \
  X(PELK_E_TOO_LARGE_2G, 0x8000200d, "2 GiB or more with Internet Explorer older than 7")                   \
  X(PELK_E_TOO_LARGE_4G, 0x8000200e, "4 GiB or more with Internet Explorer older than 8")                   \
  X(PELK_E_CERT_REVOCATION, 0x8000200f, "certificate revocation status unobtainable")                       \
  X(PELK_E_DISK_SPACE, 0x80002010, "not enough free disk space")                                            \
  X(PELK_E_TIMEOUT, 0x80002011, "the time limit ran out; the request was aborted")                          \
  X(PELK_E_CONNECT_TIMEOUT, 0x80002012, "the connection timed out")                                         \
  X(PELK_E_END_REQUEST, 0x80002013, "ending the request or sizing the upload failed")                       \
  X(PELK_E_CERT_DATE, 0x80002014, "the server certificate's date is invalid")                               \
  X(PELK_E_CERT_NAME, 0x80002015, "the server certificate's name does not match the host")                  \
  X(PELK_E_CHECKSUM, 0x80002016, "the downloaded file's MD5 differs (checksums are lower-case hex)")        \
  X(PELK_E_GZIP, 0x80002017, "a gzip-encoded download cannot be decoded (the target stays as it was)")      \
  X(PELK_E_REDIRECTS, 0x80002018, "more than 10 redirects in a row (a redirect loop)")                       \
  X(PELK_E_FILE_IN_USE, 0x80002019, "a download's file is held by another program or a download still ending") \
  /* Query building. */                                                                                     \
  X(PELK_E_QUERY_OPERATOR, 0x80003001, "a query group operator other than And or Or")                       \
  X(PELK_E_LIST_INDEX, 0x80003002, "index out of range inside the list")                                    \
  X(PELK_E_NO_OPEN_GROUP, 0x80003003, "no open query group")                                                \
  X(PELK_E_ROOT_NOT_CLOSED, 0x80003004, "the query's root group is still open")                             \
  X(PELK_E_NO_ROOT_GROUP, 0x80003005, "the query has no root group")                                        \
  /* Response parsing. */                                                                                   \
  X(PELK_E_MALFORMED_RESPONSE, 0x80004002, "the answer is not well-formed XML")                             \
  X(PELK_E_EMPTY_RESPONSE, 0x80004003, "the answer holds no document")                                      \
  /* Service status. */                                                                                     \
  X(PELK_E_SERVICE_UNKNOWN, 0x80008001, "an unrecognised service status, or an answer without a header")    \
  X(PELK_E_SERVICE_900, 0x80008002, "service status 900")                                                   \
  X(PELK_E_SERVICE_100_200, 0x80008003, "service status 100 or 200")                                        \
  X(PELK_E_SERVICE_300_600, 0x80008004, "service status 300, 400, 500 or 600")                              \
  X(PELK_E_SERVICE_700_800, 0x80008005, "service status 700 or 800")                                        \
  X(PELK_E_SERVICE_10, 0x80008006, "service status 10")                                                     \
  X(PELK_E_SERVICE_6000, 0x80008007, "service status 6000")                                                 \
  /* Distribution index. */                                                                                 \
  X(PELK_E_BAD_INDEX, 0x8000d001, "no distribution at that index")

/* The codes as constants of type int (PelkStatus values; usable in switch statements). */
enum PelkStatusCode {
#define PELK_STATUS_CONSTANT(name, value, meaning) name = (PelkStatus)value,
  PELK_STATUS_TABLE(PELK_STATUS_CONSTANT)
#undef PELK_STATUS_CONSTANT
};

/* True for a download phase that no later PelkDownloadCheck changes: finished, stopped quietly after a
 * cancel (PELK_PHASE_CLOSED), or a failure (negative). Stop polling then. */
#define PELK_PHASE_IS_FINAL(phase) \
  ((phase) < 0 || (phase) == PELK_PHASE_FINISHED || (phase) == PELK_PHASE_CLOSED)

/* Connection flags of PelkOpen. */
#define PELK_FLAG_SILENT_PROXY_AUTH  0x1 /* never show the proxy-credentials dialog (not for downloads) */
#define PELK_FLAG_VERIFY_CHECKSUM    0x2 /* verify downloads against the distribution's MD5 checksum */

/* Every exported function: X(name, parameter list). Each returns a PelkStatus. */
#define PELK_EXPORT_TABLE(X)                                                                                \
  X(PelkOpen, (const wchar_t* appName, const wchar_t* appVersion, const wchar_t* wrapperName,               \
               const wchar_t* wrapperVersion, const wchar_t* locale, int32_t flags, int32_t* handle))       \
  X(PelkClose, (int32_t handle))                                                                            \
  X(PelkPingServer, (int32_t handle, int32_t timeLimitMs))                                                  \
  X(PelkSetParentWindow, (int32_t handle, int32_t window))                                                  \
  X(PelkQueryReset, (int32_t handle))                                                                       \
  X(PelkSetDistPackageGuid, (int32_t handle, const wchar_t* packageGuid))                                   \
  X(PelkSetDistGuidAndVersion,                                                                              \
    (int32_t handle, const wchar_t* distGuid, const wchar_t* language, const wchar_t* version))             \
  X(PelkQuerySubmit, (int32_t handle, int32_t timeLimitMs))                                                 \
  X(PelkQueryCheck, (int32_t handle, int32_t timeLimitMs))                                                  \
  X(PelkQueryCancel, (int32_t handle))                                                                      \
  X(PelkGetDistCount, (int32_t handle, int32_t* count))                                                     \
  X(PelkGetDistDownloadSize, (int32_t handle, int32_t index, uint64_t* size))                               \
  X(PelkGetDistChecksum, (int32_t handle, int32_t index, VARIANT* text))                                    \
  X(PelkGetDistDownloadURL, (int32_t handle, int32_t index, VARIANT* text))                                 \
  X(PelkGetDistPackageGUID, (int32_t handle, int32_t index, VARIANT* text))                                 \
  X(PelkGetDistGUID, (int32_t handle, int32_t index, VARIANT* text))                                        \
  X(PelkGetDistLanguage, (int32_t handle, int32_t index, VARIANT* text))                                    \
  X(PelkGetDistVersion, (int32_t handle, int32_t index, VARIANT* text))                                     \
  X(PelkGetProductName, (int32_t handle, int32_t index, VARIANT* text))                                     \
  X(PelkGetContentId, (int32_t handle, int32_t index, VARIANT* text))                                       \
  X(PelkDownloadSubmit, (int32_t handle, int32_t index, const wchar_t* targetPath))                         \
  X(PelkDownloadCheck,                                                                                      \
    (int32_t handle, int32_t ignored, uint64_t* received, uint64_t* verified, uint64_t* total))             \
  X(PelkDownloadCancel, (int32_t handle))                                                                   \
  X(PelkReportSubmit, (int32_t handle))                                                                     \
  X(PelkReportReset, (int32_t handle))

/* The prototypes, and a pointer type per function for callers that load the DLL at run time
 * (PelkOpenFn for PelkOpen, and so on). */
#define PELK_DECLARE_EXPORT(name, parameters) \
  PelkStatus PELK_CALL name parameters;       \
  typedef PelkStatus(PELK_CALL* name##Fn) parameters;
PELK_EXPORT_TABLE(PELK_DECLARE_EXPORT)
#undef PELK_DECLARE_EXPORT

#ifdef __cplusplus
}
#endif

#endif /* HVPELK_EXPORTS_H */
