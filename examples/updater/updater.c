/* updater: what an installer does with hvpelk, from start to finish.
 *
 * Asks the distribution service for this program's package, picks the newest distribution, downloads it
 * into TARGET-FILE with a progress line and MD5 verification, sends the download statistics and closes.
 * A connection that breaks is tried again, up to 3 more times after growing pauses (1, 2 and 4 s), each
 * attempt resuming the partial file. Run it again after an interruption and it resumes the partial file; a
 * complete file is only verified.
 * The service's URL comes from the registry (HKLM\SOFTWARE\Halvorn\Trellin, value S_URL; "pelk config
 * set-url URL" writes it). A 32-bit program and DLL read the 32-bit view, which on 64-bit Windows is
 * HKLM\SOFTWARE\Wow6432Node\Halvorn\Trellin.
 *
 *   usage: updater TARGET-FILE
 *
 * Exit codes: 0 done (or nothing to download), 1 a library call failed, 2 usage. */
#include <hvpelk/exports.h>

#include <stdio.h>
#include <wchar.h>

/* Who is asking, and for which package: replace these with your own product's. */
static const wchar_t kAppName[] = L"Quillan Notes Setup";
static const wchar_t kAppVersion[] = L"2.0.0.0";
static const wchar_t kLocale[] = L"en-US";
static const wchar_t kPackageGuid[] = L"{5B1E3C2A-7D44-4F1B-9C3E-2A6F0D8B1C01}";

static int Failed(const char* what, PelkStatus status) {
  fprintf(stderr, "updater: %s failed: 0x%08lx\n", what, (unsigned long)(uint32_t)status);
  return 1;
}

/* Copies one text field of distribution `index` into out (cut to size); an empty text on failure. */
static void GetText(PelkStatus(PELK_CALL* getter)(int32_t, int32_t, VARIANT*), int32_t handle, int32_t index,
                    wchar_t* out, size_t size) {
  VARIANT text;
  VariantInit(&text);
  out[0] = L'\0';
  if (getter(handle, index, &text) == PELK_S_OK && V_BSTR(&text) != NULL) {
    lstrcpynW(out, V_BSTR(&text), (int)size);
  }
  VariantClear(&text);
}

/* Compares dotted versions part by part ("2.10" is newer than "2.9"); missing parts count as 0. */
static int CompareVersions(const wchar_t* a, const wchar_t* b) {
  while (*a != L'\0' || *b != L'\0') {
    wchar_t* end;
    unsigned long x = wcstoul(a, &end, 10);
    a = *end == L'.' ? end + 1 : end + wcslen(end);
    unsigned long y = wcstoul(b, &end, 10);
    b = *end == L'.' ? end + 1 : end + wcslen(end);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

static uint64_t FileSize(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

static const char* PhaseName(PelkStatus phase) {
  switch (phase) {
    case PELK_PHASE_RESUMING: return "resuming";
    case PELK_PHASE_RECEIVING: return "receiving";
    case PELK_PHASE_VERIFYING: return "verifying";
    case PELK_PHASE_FINISHED: return "done";
    case PELK_PHASE_CLOSED: return "stopped";
    default: return phase < 0 ? "failed" : "connecting";
  }
}

/* Starts the download and polls it, redrawing one progress line, until it ends; returns the final phase
 * (PELK_PHASE_FINISHED) or the failure. An installer with a window polls from its timer instead. */
static PelkStatus DownloadOnce(int32_t handle, int32_t index, const wchar_t* target, uint64_t* received,
                               uint64_t* total) {
  uint64_t verified = 0;
  PelkStatus phase = PelkDownloadSubmit(handle, index, target);
  if (phase != PELK_S_OK && phase != PELK_S_STILL_RUNNING) return phase;
  for (;;) {
    phase = PelkDownloadCheck(handle, 0, received, &verified, total);
    const uint64_t done = phase == PELK_PHASE_VERIFYING ? verified : *received;
    printf("\r%-10s %3u%%  %llu of %llu bytes", PhaseName(phase), (unsigned)(*total ? done * 100 / *total : 0),
           (unsigned long long)done, (unsigned long long)*total);
    fflush(stdout);
    if (PELK_PHASE_IS_FINAL(phase)) break;
    Sleep(100);
  }
  printf("\n");
  return phase;
}

/* Failures of the network that a later attempt may get past. */
static int IsWorthRetrying(PelkStatus phase) {
  return phase == PELK_E_CONNECTION || phase == PELK_E_READ || phase == PELK_E_SEND ||
         phase == PELK_E_CONNECT_TIMEOUT || phase == PELK_E_HTTP_408;
}

/* The download, tried again after a cut connection: every submit resumes the partial file. */
static PelkStatus Download(int32_t handle, int32_t index, const wchar_t* target) {
  enum { kAttempts = 4 };
  uint64_t received = 0, total = 0;
  PelkStatus phase = DownloadOnce(handle, index, target, &received, &total);
  for (int attempt = 2; attempt <= kAttempts && IsWorthRetrying(phase); ++attempt) {
    const unsigned pause = 1u << (attempt - 2); /* 1, 2, 4 seconds */
    printf("updater: the connection broke off (0x%08lx) at %llu of %llu bytes; attempt %d of %d in %u s\n",
           (unsigned long)(uint32_t)phase, (unsigned long long)received, (unsigned long long)total, attempt,
           (int)kAttempts, pause);
    Sleep(pause * 1000);
    phase = DownloadOnce(handle, index, target, &received, &total);
  }
  return phase;
}

static int Update(int32_t handle, const wchar_t* target) {
  /* The query: every live distribution of this package. A console program can wait for the answer (with
   * a limit); a program with a window passes 0 and polls PelkQueryCheck while it is still running. */
  PelkStatus status = PelkSetDistPackageGuid(handle, kPackageGuid);
  if (status == PELK_S_OK) status = PelkQuerySubmit(handle, 60000);
  if (status != PELK_S_OK) return Failed("the query", status);
  int32_t count = 0;
  PelkGetDistCount(handle, &count);

  int32_t newest = -1;
  wchar_t best[64] = L"", version[64], id[64], product[128];
  for (int32_t i = 0; i < count; ++i) {
    GetText(PelkGetDistVersion, handle, i, version, 64);
    if (newest < 0 || CompareVersions(version, best) > 0) {
      newest = i;
      lstrcpynW(best, version, 64);
    }
  }
  if (newest < 0) {
    printf("updater: no distribution of this package is available\n");
    return 0;
  }
  uint64_t size = 0;
  GetText(PelkGetContentId, handle, newest, id, 64);
  GetText(PelkGetProductName, handle, newest, product, 128);
  PelkGetDistDownloadSize(handle, newest, &size);
  printf("updater: newest of %d: %ls %ls (%ls), %llu bytes\n", (int)count, product, best, id, (unsigned long long)size);

  /* A file left by an earlier run is resumed, a complete one only verified. */
  const uint64_t before = FileSize(target);
  if (before > 0) printf("updater: %llu bytes are there from an earlier run\n", (unsigned long long)before);
  const PelkStatus phase = Download(handle, newest, target);
  const uint64_t after = FileSize(target);
  if (phase == PELK_PHASE_FINISHED) {
    printf("updater: %ls is complete and verified; %llu bytes received in this run\n", target,
           (unsigned long long)(after > before ? after - before : 0));
  }

  /* The statistics of this download, a failed one too, go back to the service. A report that cannot be
   * sent does not fail the update. */
  status = PelkReportSubmit(handle);
  if (status == PELK_S_OK)
    printf("updater: download statistics sent\n");
  else
    Failed("sending the statistics", status);
  return phase == PELK_PHASE_FINISHED ? 0 : Failed("the download", phase);
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: updater TARGET-FILE\n");
    return 2;
  }
  int32_t handle = 0;
  const PelkStatus status = PelkOpen(kAppName, kAppVersion, L"", L"", kLocale, PELK_FLAG_VERIFY_CHECKSUM, &handle);
  if (status != PELK_S_OK) return Failed("PelkOpen", status);
  const int result = Update(handle, argv[1]);
  PelkClose(handle);
  return result;
}
