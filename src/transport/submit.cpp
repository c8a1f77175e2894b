// VornetSession::Submit: one complete HTTP exchange, from opening the root handle to closing it again.
#include <cstdint>

#include "support/log.h"
#include "support/md5.h"
#include "support/strings.h"
#include "transport/gzip.h"
#include "transport/session.h"
#include "transport/session_internal.h"

namespace hv {
namespace {

bool StartsWithUtf16ByteOrderMark(const std::string& bytes) {
  if (bytes.size() < 2) return false;
  const auto first = static_cast<unsigned char>(bytes[0]);
  const auto second = static_cast<unsigned char>(bytes[1]);
  return (first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF);
}

}  // namespace

void VornetSession::Submit(const std::wstring& url, const std::wstring& body, std::string& response) {
  OperationTag tag(L"Submit");
  Close(PELK_PHASE_STARTED);
  // The counts describe this exchange only. Carried over from an earlier one, they would make the first
  // request ranged (corrupting a fresh target file) and pass an old count off as the expected size.
  progress_.bytesReceived = 0;
  progress_.totalBytes = 0;
  systemCallFailed_ = false;
  LogLine(L"\t[Submit]: Opening the session...");
  OpenSession();
  try {
    response.clear();
    if (WasAborted()) {
      Close(PELK_PHASE_CLOSED);
      return;
    }
    Exchange(url, body, response);
  } catch (const StatusError& error) {
    Close(systemCallFailed_ ? PELK_E_SYSTEM_CALL : error.code());
    throw;
  } catch (...) {
    LogError(L"\tSubmit failed for unknown reason.");
    Close(PELK_E_UNEXPECTED);
    Throw(PELK_E_UNEXPECTED);
  }
}

void VornetSession::Exchange(const std::wstring& url, const std::wstring& body, std::string& response) {
  LogLine(L"\t[Submit]: Cracking the URL...");
  std::wstring host;
  std::wstring path;
  uint16_t port = 0;
  if (!CrackUrl(url, &host, &path, &port)) Throw(PELK_E_BAD_URL);

  LogLine(L"\t[Submit]: Opening the connection...");
  OpenConnection(host, port);
  const DWORD flags = IsSecureUrl(url) ? kSecureRequestFlags : kPlainRequestFlags;

  LogLine(L"\t[Submit]: Sending the request...");
  for (;;) {
    if (!body.empty() || !bodyFilePath_.empty()) {
      SendPostRequest(path, body, flags);
    } else {
      SendGetRequest(path, flags);
    }
    if (CheckStatusCode(false) != PELK_E_PROXY_AUTH) break;
    LogLine(L"\t[Submit]: Proxy authentication required...");
    if (!AskForAuthentication()) Throw(PELK_E_PROXY_AUTH);
  }

  LogLine(L"\t[Submit]: Getting total data size...");
  const bool lengthKnown = GetTotalDataSize();
  if (streamToFile_) PrepareTargetFile(path, flags, lengthKnown);

  LogLine(L"\t[Submit]: Checking the content type...");
  CheckContentType();

  startTick_ = lastTick_ = GetTickCount();
  loopStartBytes_ = progress_.bytesReceived;
  if (progress_.totalBytes == 0 || progress_.bytesReceived < progress_.totalBytes) ReadBody(response);

  if (!WasAborted() && streamToFile_) FinishTargetFile(url, response);
  Close(WasAborted() ? PELK_PHASE_CLOSED : PELK_PHASE_FINISHED);
}

void VornetSession::PrepareTargetFile(const std::wstring& path, DWORD flags, bool lengthKnown) {
  LogLine(L"\t[Submit]: Streaming to file enabled.  Creating file...");
  OpenTargetFile(OPEN_ALWAYS);
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(targetFile_.get(), &size)) {
    if (IsLogEnabled()) LogLine(L"\t[Submit]: File already exists: " + DecU64(size.QuadPart));
    progress_.bytesReceived = size.QuadPart;
    const LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(targetFile_.get(), zero, nullptr, FILE_END)) ThrowSystemCallFailure();
  } else {
    size.QuadPart = 0;  // unknown size: the free-space test below compares with nothing
  }
  if (!HasFreeSpace(targetPath_, size.QuadPart)) Throw(PELK_E_DISK_SPACE);
  if (progress_.bytesReceived == 0) return;
  if (lengthKnown && progress_.bytesReceived < progress_.totalBytes) {
    progress_.state = PELK_PHASE_RESUMING;
    LogLine(L"\t[Submit]: Resuming download with partial file...");
    ResubmitGetRequest(path, flags);
  } else if (!lengthKnown) {
    LogLine(L"\t[Submit]: Resume not available, so create new file.");
    RecreateTargetFile();
  }
  // Otherwise the file is at least as long as announced and counts as complete.
}

void VornetSession::OpenTargetFile(DWORD disposition) {
  targetFile_.reset(CreateFileW(targetPath_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!targetFile_) Throw(PELK_E_CREATE_FILE);
}

void VornetSession::RecreateTargetFile() {
  targetFile_.reset();
  DeleteFileW(targetPath_.c_str());
  // CREATE_ALWAYS: the file is empty even when it could not be deleted.
  OpenTargetFile(CREATE_ALWAYS);
  progress_.bytesReceived = 0;
}

void VornetSession::ReadBody(std::string& response) {
  LogLine(L"\tStarting download...");
  std::string block(kTransferBlockSize, '\0');
  DWORD error = 0;
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(request_.get(), &block[0], kTransferBlockSize, &read)) {
      // Only a failed read has an error of its own; after a clean end the thread's last error is left
      // over from earlier calls and means nothing.
      error = GetLastError();
      break;
    }
    if (read == 0) break;
    progress_.bytesReceived += read;
    progress_.state = PELK_PHASE_RECEIVING;
    if (streamToFile_) {
      WriteBlock(block.data(), read);
    } else {
      response.append(block.data(), read);
    }
    UpdateRates(read);
  }
  lastError_ = error;
  if (IsLogEnabled()) LogLine(L"\tDownload complete.  Time elapsed: " + DecU64(progress_.elapsedMs));
  if (error != ERROR_INSUFFICIENT_BUFFER) EvaluateInternetErrorCode(error, PELK_E_CONNECTION);
  if (error != 0 && error != ERROR_INSUFFICIENT_BUFFER) Throw(PELK_E_READ);
  if (!WasAborted() && progress_.bytesReceived < progress_.totalBytes) {
    LogError(L"\tConnection error detected.  Response is incomplete.");
    Throw(PELK_E_CONNECTION);
  }
  DecodeBody(response);
}

void VornetSession::WriteBlock(const char* data, DWORD length) {
  DWORD written = 0;
  if (WriteFile(targetFile_.get(), data, length, &written, nullptr)) {
    if (written == length) return;
    Throw(PELK_E_DISK_SPACE);  // a short write to a disk file means the volume is full
  }
  const DWORD error = GetLastError();
  if (error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_FULL) Throw(PELK_E_DISK_SPACE);
  ThrowSystemCallFailure();
}

void VornetSession::ThrowSystemCallFailure() {
  const DWORD error = GetLastError();
  // The session records the family code as the transfer phase; the exchange fails with the Windows
  // error itself, so that the job's status names the cause.
  systemCallFailed_ = true;
  Throw(static_cast<StatusCode>(0x80000000u | error));
}

void VornetSession::UpdateRates(DWORD blockLength) {
  const uint32_t now = GetTickCount();
  uint32_t delta = now - lastTick_;
  lastTick_ = now;
  progress_.elapsedMs += delta;
  if (delta == 0) delta = 1;
  progress_.currentRate = static_cast<double>(blockLength) / delta;

  // Rates and the estimate stay 0 while no time has passed or the total is unknown.
  const uint32_t sinceStart = now - startTick_;
  const uint64_t loopBytes = progress_.bytesReceived - loopStartBytes_;
  progress_.averageRate = sinceStart == 0 ? 0.0 : static_cast<double>(loopBytes) / (sinceStart / 1000.0);
  const uint64_t remaining =
      progress_.totalBytes > progress_.bytesReceived ? progress_.totalBytes - progress_.bytesReceived : 0;
  const double seconds = progress_.averageRate > 0 ? static_cast<double>(remaining) / progress_.averageRate : 0.0;
  progress_.remainingSeconds = seconds >= static_cast<double>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

void VornetSession::DecodeBody(std::string& response) {
  std::wstring encoding;
  GetContentEncoding(encoding);
  if (encoding.empty()) return;
  if (!EqualsNoCase(encoding, L"gzip")) {
    if (IsLogEnabled()) LogError(L"Unsupported content encoding on response: " + encoding);
    return;
  }
  if (streamToFile_) {
    DecodeTargetFile();
    return;
  }
  std::string decoded;
  DecodeGzipBuffer(response, decoded);
  // Service answers are text: cut at the first zero byte, unless the text is UTF-16, where zero bytes
  // belong to the characters.
  if (!StartsWithUtf16ByteOrderMark(decoded)) {
    const size_t zero = decoded.find('\0');
    if (zero != std::string::npos) decoded.resize(zero);
  }
  response = std::move(decoded);
}

void VornetSession::DecodeTargetFile() {
  targetFile_.reset();
  const std::wstring temporary = targetPath_ + L".temp";
  if (!DecodeGzipFile(targetPath_, temporary)) {
    // The received file stays as it is; the decoder has removed its partial output.
    if (IsLogEnabled()) LogError(L"Failed to decode the gzip content of " + targetPath_);
    Throw(PELK_E_GZIP);
  }
  // One replacing move: the target is never missing, whatever fails.
  if (!MoveFileExW(temporary.c_str(), targetPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LogFailure(L"Failed to replace the target file with its decoded content: ");
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(error);
    ThrowSystemCallFailure();
  }
}

void VornetSession::FinishTargetFile(const std::wstring& url, std::string& response) {
  if (!expectedChecksum_.empty()) {
    targetFile_.reset();
    progress_.bytesVerified = 0;
    progress_.state = PELK_PHASE_VERIFYING;
    if (!Equals(FileMd5Hex(targetPath_, progress_.bytesVerified), expectedChecksum_)) Throw(PELK_E_CHECKSUM);
  }
  DeleteUrlCacheEntryW(url.c_str());
  WideToMultiByte(targetPath_, response, 0);
}

}  // namespace hv
