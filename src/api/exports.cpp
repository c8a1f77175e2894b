// The exported functions. Each one is the export boundary: it finds the connection, forwards, and
// turns a raised StatusCode into its value and anything else into PELK_E_UNEXPECTED (hv::StatusOf).
// Nothing thrown ever crosses into the caller.
#include <hvpelk/exports.h>

#include <memory>

#include "api/connection.h"
#include "api/connection_table.h"
#include "api/text_result.h"

namespace {

using hv::Connection;
using hv::DistField;

// Null text arguments and out-parameters are rejected rather than dereferenced.
void Require(const void* pointer) {
  if (pointer == nullptr) hv::Throw(PELK_E_UNEXPECTED);
}

template <typename Operation>
PelkStatus OnConnection(int32_t handle, Operation&& operation) noexcept {
  return hv::StatusOf([&] { return operation(hv::ConnectionTable::Instance().Lookup(handle)); });
}

PelkStatus GetText(int32_t handle, int32_t index, VARIANT* text, DistField field) noexcept {
  return OnConnection(handle, [&](Connection& connection) {
    Require(text);
    hv::StoreText(*text, connection.DistText(index, field));
    return PELK_S_OK;
  });
}

}  // namespace

extern "C" {

PelkStatus PELK_CALL PelkOpen(const wchar_t* appName, const wchar_t* appVersion, const wchar_t* wrapperName,
                              const wchar_t* wrapperVersion, const wchar_t* locale, int32_t flags, int32_t* handle) {
  if (handle == nullptr) return PELK_E_UNEXPECTED;
  const PelkStatus status = hv::StatusOf([&] {
    for (const wchar_t* text : {appName, appVersion, wrapperName, wrapperVersion, locale}) Require(text);
    auto connection = std::make_unique<Connection>(appName, appVersion, wrapperName, wrapperVersion, locale, flags);
    *handle = hv::ConnectionTable::Instance().Add(std::move(connection));
    return PELK_S_OK;
  });
  if (status != PELK_S_OK) *handle = 0;
  return status;
}

PelkStatus PELK_CALL PelkClose(int32_t handle) {
  return hv::StatusOf([&] { hv::ConnectionTable::Instance().Close(handle); });
}

PelkStatus PELK_CALL PelkPingServer(int32_t handle, int32_t timeLimitMs) {
  return OnConnection(handle, [&](Connection& c) { return c.PingServer(timeLimitMs); });
}

PelkStatus PELK_CALL PelkSetParentWindow(int32_t handle, int32_t window) {
  return OnConnection(handle, [&](Connection& c) {
    c.SetParentWindow(window);
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkQueryReset(int32_t handle) {
  return OnConnection(handle, [&](Connection& c) {
    c.QueryReset();
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkSetDistPackageGuid(int32_t handle, const wchar_t* packageGuid) {
  return OnConnection(handle, [&](Connection& c) {
    Require(packageGuid);
    c.SetDistPackageGuid(packageGuid);
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkSetDistGuidAndVersion(int32_t handle, const wchar_t* distGuid, const wchar_t* language,
                                               const wchar_t* version) {
  return OnConnection(handle, [&](Connection& c) {
    for (const wchar_t* text : {distGuid, language, version}) Require(text);
    c.SetDistGuidAndVersion(distGuid, language, version);
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkQuerySubmit(int32_t handle, int32_t timeLimitMs) {
  return OnConnection(handle, [&](Connection& c) { return c.QuerySubmit(timeLimitMs); });
}

PelkStatus PELK_CALL PelkQueryCheck(int32_t handle, int32_t timeLimitMs) {
  return OnConnection(handle, [&](Connection& c) { return c.QueryCheck(timeLimitMs); });
}

PelkStatus PELK_CALL PelkQueryCancel(int32_t handle) {
  return OnConnection(handle, [&](Connection& c) {
    c.QueryCancel();
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkGetDistCount(int32_t handle, int32_t* count) {
  return OnConnection(handle, [&](Connection& c) {
    Require(count);
    *count = c.DistCount();
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkGetDistDownloadSize(int32_t handle, int32_t index, uint64_t* size) {
  return OnConnection(handle, [&](Connection& c) {
    Require(size);
    *size = c.DistDownloadSize(index);
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkGetDistChecksum(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::Checksum);
}

PelkStatus PELK_CALL PelkGetDistDownloadURL(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::DownloadUrl);
}

PelkStatus PELK_CALL PelkGetDistPackageGUID(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::PackageGuid);
}

PelkStatus PELK_CALL PelkGetDistGUID(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::DistGuid);
}

PelkStatus PELK_CALL PelkGetDistLanguage(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::Language);
}

PelkStatus PELK_CALL PelkGetDistVersion(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::Version);
}

PelkStatus PELK_CALL PelkGetProductName(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::ProductName);
}

PelkStatus PELK_CALL PelkGetContentId(int32_t handle, int32_t index, VARIANT* text) {
  return GetText(handle, index, text, DistField::ContentId);
}

PelkStatus PELK_CALL PelkDownloadSubmit(int32_t handle, int32_t index, const wchar_t* targetPath) {
  return OnConnection(handle, [&](Connection& c) {
    Require(targetPath);
    return c.DownloadSubmit(index, targetPath);
  });
}

PelkStatus PELK_CALL PelkDownloadCheck(int32_t handle, int32_t /*ignored*/, uint64_t* received, uint64_t* verified,
                                       uint64_t* total) {
  return OnConnection(handle, [&](Connection& c) {
    Require(received);
    Require(verified);
    Require(total);
    return c.DownloadCheck(*received, *verified, *total);
  });
}

PelkStatus PELK_CALL PelkDownloadCancel(int32_t handle) {
  return OnConnection(handle, [&](Connection& c) {
    c.DownloadCancel();
    return PELK_S_OK;
  });
}

PelkStatus PELK_CALL PelkReportSubmit(int32_t handle) {
  return OnConnection(handle, [&](Connection& c) { return c.ReportSubmit(); });
}

PelkStatus PELK_CALL PelkReportReset(int32_t handle) {
  return OnConnection(handle, [&](Connection& c) {
    c.ReportReset();
    return PELK_S_OK;
  });
}

}  // extern "C"
