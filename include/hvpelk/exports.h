/* hvpelk: the update client library's public interface.
 *
 * Every function uses the cdecl convention, returns a 32-bit status code and never returns data through
 * its return value. Text goes in as NUL-terminated UTF-16 and comes out as a BSTR inside a caller-supplied,
 * initialised VARIANT (the library clears it first; the caller frees the result with VariantClear).
 * Handles are 1-based and never reused; 0 is never issued. Null pointers are rejected with
 * PELK_E_UNEXPECTED. Compiles as C and as C++. */
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

/* Success and information. */
#define PELK_S_OK                    ((PelkStatus)0x00000000)
#define PELK_S_NOTHING_OUTSTANDING   ((PelkStatus)0x40001001) /* no request outstanding on the job */
#define PELK_S_STILL_RUNNING         ((PelkStatus)0x40001002) /* the request still runs: poll again */
#define PELK_PHASE_CLOSED            ((PelkStatus)0x40002001) /* transfer stopped after an abort */
#define PELK_PHASE_STARTED           ((PelkStatus)0x40002002) /* opening the connection, sending */
#define PELK_PHASE_RESUMING          ((PelkStatus)0x40002003) /* resuming into a partial file */
#define PELK_PHASE_RECEIVING         ((PelkStatus)0x40002004) /* receiving data */
#define PELK_PHASE_FINISHED          ((PelkStatus)0x40002005) /* complete (and verified when asked) */
#define PELK_S_DOWNLOAD_CANCELLED    ((PelkStatus)0x40002006) /* cancelled by the caller (report only) */
#define PELK_PHASE_VERIFYING         ((PelkStatus)0x40002007) /* computing the file's checksum */

/* Library and job failures. */
#define PELK_E_INVALID_HANDLE        ((PelkStatus)0x80001001) /* 0, negative, never issued or closed */
#define PELK_E_UNEXPECTED            ((PelkStatus)0x80001002) /* unexpected failure, null argument */
#define PELK_E_ALREADY_RUNNING       ((PelkStatus)0x80001004) /* a request already runs on this job */
#define PELK_E_BAD_URL               ((PelkStatus)0x80001006) /* the URL cannot be split */
#define PELK_E_INTERNET_OPEN         ((PelkStatus)0x80001007) /* the internet handle cannot be created */
#define PELK_E_SYSTEM_CALL           ((PelkStatus)0x80001008) /* a system call failed (0x80000000 | error) */
#define PELK_E_TEXT_RESULT           ((PelkStatus)0x80001012) /* a text result cannot be handed out */

/* HTTP transport failures. */
#define PELK_E_CONNECTION            ((PelkStatus)0x80002001) /* network error, 401/403/410/502/503/504, short body */
#define PELK_E_OPEN_REQUEST          ((PelkStatus)0x80002002) /* request cannot be opened */
#define PELK_E_SEND                  ((PelkStatus)0x80002003) /* sending the request body failed */
#define PELK_E_READ                  ((PelkStatus)0x80002004) /* the connection broke while reading */
#define PELK_E_HTTP_408              ((PelkStatus)0x80002005) /* HTTP 408 */
#define PELK_E_CREATE_FILE           ((PelkStatus)0x80002006) /* the target file cannot be created */
#define PELK_E_HTTP_404              ((PelkStatus)0x80002007) /* HTTP 404 */
#define PELK_E_CONTENT_TYPE          ((PelkStatus)0x80002008) /* content type missing or unreadable */
#define PELK_E_HTTP_BAD_REQUEST      ((PelkStatus)0x80002009) /* HTTP 400, 405, 505 */
#define PELK_E_HTTP_SERVER           ((PelkStatus)0x8000200a) /* HTTP 300, 500 */
#define PELK_E_HTTP_STATUS           ((PelkStatus)0x8000200b) /* status unreadable or not listed */
#define PELK_E_PROXY_AUTH            ((PelkStatus)0x8000200c) /* proxy credentials required, not given */
#define PELK_E_TOO_LARGE_2G          ((PelkStatus)0x8000200d) /* >= 2 GiB with Internet Explorer < 7 */
#define PELK_E_TOO_LARGE_4G          ((PelkStatus)0x8000200e) /* >= 4 GiB with Internet Explorer < 8 */
#define PELK_E_CERT_REVOCATION       ((PelkStatus)0x8000200f) /* revocation status unobtainable */
#define PELK_E_DISK_SPACE            ((PelkStatus)0x80002010) /* not enough free disk space */
#define PELK_E_TIMEOUT               ((PelkStatus)0x80002011) /* caller's time limit ran out; aborted */
#define PELK_E_CONNECT_TIMEOUT       ((PelkStatus)0x80002012) /* the internet connection timed out */
#define PELK_E_END_REQUEST           ((PelkStatus)0x80002013) /* ending the request or sizing the upload */
#define PELK_E_CERT_DATE             ((PelkStatus)0x80002014) /* server certificate date invalid */
#define PELK_E_CERT_NAME             ((PelkStatus)0x80002015) /* server certificate name mismatch */
#define PELK_E_CHECKSUM              ((PelkStatus)0x80002016) /* downloaded file's checksum differs */
#define PELK_E_GZIP                  ((PelkStatus)0x80002017) /* a gzip-encoded download cannot be decoded */

/* Query building. */
#define PELK_E_QUERY_OPERATOR        ((PelkStatus)0x80003001) /* group operator other than And or Or */
#define PELK_E_LIST_INDEX            ((PelkStatus)0x80003002) /* index out of range inside the list */
#define PELK_E_NO_OPEN_GROUP         ((PelkStatus)0x80003003) /* no open query group */
#define PELK_E_ROOT_NOT_CLOSED       ((PelkStatus)0x80003004) /* root group not closed before sending */
#define PELK_E_NO_ROOT_GROUP         ((PelkStatus)0x80003005) /* the query has no root group */

/* Response parsing. */
#define PELK_E_MALFORMED_RESPONSE    ((PelkStatus)0x80004002) /* not well-formed XML */
#define PELK_E_EMPTY_RESPONSE        ((PelkStatus)0x80004003) /* no root element */

/* Service status. */
#define PELK_E_SERVICE_UNKNOWN       ((PelkStatus)0x80008001) /* unrecognised or unreadable status */
#define PELK_E_SERVICE_900           ((PelkStatus)0x80008002) /* service status 900 */
#define PELK_E_SERVICE_100_200       ((PelkStatus)0x80008003) /* service status 100 or 200 */
#define PELK_E_SERVICE_300_600       ((PelkStatus)0x80008004) /* service status 300, 400, 500, 600 */
#define PELK_E_SERVICE_700_800       ((PelkStatus)0x80008005) /* service status 700 or 800 */
#define PELK_E_SERVICE_10            ((PelkStatus)0x80008006) /* service status 10 */
#define PELK_E_SERVICE_6000          ((PelkStatus)0x80008007) /* service status 6000 */

/* Distribution index. */
#define PELK_E_BAD_INDEX             ((PelkStatus)0x8000d001) /* index negative or not below the count */

/* Connection flags of PelkOpen. */
#define PELK_FLAG_SILENT_PROXY_AUTH  0x1 /* never show the proxy-credentials dialog (not for downloads) */
#define PELK_FLAG_VERIFY_CHECKSUM    0x2 /* verify downloads against the distribution's MD5 checksum */

PelkStatus PELK_CALL PelkOpen(const wchar_t* appName, const wchar_t* appVersion, const wchar_t* wrapperName,
                              const wchar_t* wrapperVersion, const wchar_t* locale, int32_t flags,
                              int32_t* handle);
PelkStatus PELK_CALL PelkClose(int32_t handle);
PelkStatus PELK_CALL PelkPingServer(int32_t handle, int32_t timeLimitMs);
PelkStatus PELK_CALL PelkSetParentWindow(int32_t handle, int32_t window);
PelkStatus PELK_CALL PelkQueryReset(int32_t handle);
PelkStatus PELK_CALL PelkSetDistPackageGuid(int32_t handle, const wchar_t* packageGuid);
PelkStatus PELK_CALL PelkSetDistGuidAndVersion(int32_t handle, const wchar_t* distGuid, const wchar_t* language,
                                               const wchar_t* version);
PelkStatus PELK_CALL PelkQuerySubmit(int32_t handle, int32_t timeLimitMs);
PelkStatus PELK_CALL PelkQueryCheck(int32_t handle, int32_t timeLimitMs);
PelkStatus PELK_CALL PelkQueryCancel(int32_t handle);
PelkStatus PELK_CALL PelkGetDistCount(int32_t handle, int32_t* count);
PelkStatus PELK_CALL PelkGetDistDownloadSize(int32_t handle, int32_t index, uint64_t* size);
PelkStatus PELK_CALL PelkGetDistChecksum(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetDistDownloadURL(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetDistPackageGUID(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetDistGUID(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetDistLanguage(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetDistVersion(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetProductName(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkGetContentId(int32_t handle, int32_t index, VARIANT* text);
PelkStatus PELK_CALL PelkDownloadSubmit(int32_t handle, int32_t index, const wchar_t* targetPath);
PelkStatus PELK_CALL PelkDownloadCheck(int32_t handle, int32_t ignored, uint64_t* received, uint64_t* verified,
                                       uint64_t* total);
PelkStatus PELK_CALL PelkDownloadCancel(int32_t handle);
PelkStatus PELK_CALL PelkReportSubmit(int32_t handle);
PelkStatus PELK_CALL PelkReportReset(int32_t handle);

#ifdef __cplusplus
}
#endif

#endif /* HVPELK_EXPORTS_H */
