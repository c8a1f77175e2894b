// Torture run of the download path and of service answers: hvpelk.dll driven through its exports against
// the fault server (tests/common/fault_server.h). It prints figures next to their targets and never fails
// on a figure; scripts/torture runs it.
//
// Every phase runs in child processes of this program, so that a crash or a hang is counted instead of
// ending the run. A child runs a range of cases of one phase and prints one "case" line per case; when a
// child dies, or ends no case for 10 s, the parent counts that against the case it was on and starts a new
// child at the next case. Each child has its own fault server and its own service key.
//
//   torture [PHASE...]                  the named phases (cuts, matrix, cancels, closes, abandons, answers,
//                                       latency, silence; all
//                                       when none is named), one summary each
//   torture --child PHASE FROM TO PORT  cases FROM..TO of PHASE; PORT is the parent's server for the
//                                       races (0 otherwise)
//   torture --killee WRAPPER TARGET     a matrix case's earlier run: downloads distribution 0 of the
//                                       service key WRAPPER into TARGET until it is killed

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <hvpelk/loader.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/bytes.h"
#include "common/downloads.h"
#include "common/fault_server.h"
#include "common/scratch.h"
#include "common/service_texts.h"
#include "support/scoped_handle.h"

namespace {

using hvtest::FaultPlan;
using hvtest::FaultServer;
using hvtest::LengthHeader;
using hvtest::Plain;
using hvtest::RangeAnswer;

constexpr uint64_t kMiB = uint64_t{1024} * 1024;
constexpr DWORD kHangMs = 10000;
// The silence phase measures calls that a library may block in for as long as a server stays silent.
constexpr DWORD kSilenceHangMs = 180000;
constexpr int kCancelCycles = 1000;
constexpr int kCloseCycles = 100;
constexpr int kRaceHandles = 16;
constexpr int kAnswers = 10000;
// How long the server of the abandons phase stays silent before it closes a connection.
constexpr int kAbandonStallMs = 5000;

// ---------------------------------------------------------------------------------------------------------
// Child side: the fault server, the service key pointing at it, the DLL, a scratch folder.

std::mutex g_printLock;

// One line to the parent, flushed at once: a child that dies loses nothing it has reported.
void Emit(const char* format, ...) {
  std::lock_guard<std::mutex> lock(g_printLock);
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
  fflush(stdout);
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The service's answer to every command: a list of one distribution at /files/<name> on the server.
FaultPlan ListAnswer(const FaultServer& server, const std::string& name, const std::string& checksum) {
  FaultPlan answer = Plain(hvtest::AnswerPacket(
      0, hvtest::UpdateElement({"C1", "Product", server.Url("/files/" + name), checksum, "{P}", "{D}", "en", "1.0"})));
  answer.contentType = "text/xml";
  return answer;
}

// The wrapper library name this child opens its connections with: the service URL goes into that wrapper's
// own key, named after the child's range (set by RunChild), so that children side by side never share one.
std::wstring g_wrapper;

std::wstring ServiceKeyPath() { return L"SOFTWARE\\Halvorn\\Trellin\\" + g_wrapper; }

// Opens a connection and queries the service for its list.
int32_t OpenWithList(hvpelk::Library& pelk, int32_t flags) {
  int32_t h = 0;
  pelk.PelkOpen(L"Torture", L"1.0", g_wrapper.c_str(), L"1.0", L"en-US", flags, &h);
  pelk.PelkQuerySubmit(h, -1);
  return h;
}

// The service key pointing at a server: the children of the race phases use the parent's server.
std::wstring ServiceUrl(int port) { return L"http://127.0.0.1:" + std::to_wstring(port) + L"/service"; }

class World {
 public:
  World() {
    if (!server.Start()) {
      Emit("error: the fault server cannot listen\n");
      ExitProcess(3);
    }
    trellin.SetString(trellin.path(), L"S_URL", ServiceUrl(server.port()));
  }

  void Load() {
    pelk = std::make_unique<hvpelk::Library>();
    if (!pelk->Loaded()) {
      Emit("error: hvpelk.dll or one of its exports is missing\n");
      ExitProcess(4);
    }
  }

  // From now on the service answers every command with a list of one distribution at /files/<name>.
  void AnswerList(const std::string& name, const std::string& checksum = std::string()) {
    server.Serve("/service", ListAnswer(server, name, checksum));
  }

  int32_t OpenWithList(int32_t flags) { return ::OpenWithList(*pelk, flags); }

  // Submits distribution 0 into target and polls until the phase is final, without a bound: the parent
  // counts a child that hangs.
  int32_t Download(int32_t h, const std::wstring& target) { return hvtest::DownloadToEnd(*pelk, h, target, -1, 2); }

  // Body bytes the server sent for the requests from `from` on, once it has nothing more to send: an
  // answer the library stopped reading without closing it sends no more.
  uint64_t SentSince(size_t from) {
    server.WaitQuiet(100, 5000);
    return server.BytesSent(from);
  }

  FaultServer server;
  hvtest::ScratchKey trellin{HKEY_LOCAL_MACHINE, ServiceKeyPath()};
  hvtest::TempDir temp;
  std::unique_ptr<hvpelk::Library> pelk;
};

// ---------------------------------------------------------------------------------------------------------
// Cuts: an 8 MiB download cut after N bytes, then resumed from an honest server.

constexpr uint64_t kCutBody = 8 * kMiB;

std::vector<uint64_t> CutOffsets() {
  std::vector<uint64_t> offsets = {0, 1, 4095, 4096, 4097, 65535, 65536};
  std::mt19937_64 random(8);
  for (int i = 0; i < 200; ++i) offsets.push_back(random() % kCutBody);
  return offsets;
}

void RunCuts(size_t from, size_t to) {
  World world;
  world.Load();
  const std::string data = hvtest::SampleBytes(kCutBody, 101);
  world.AnswerList("cut.bin");
  const int32_t h = world.OpenWithList(0);
  const std::wstring target = world.temp.File(L"cut.bin");
  const std::vector<uint64_t> offsets = CutOffsets();
  for (size_t i = from; i < to; ++i) {
    DeleteFileW(target.c_str());
    FaultPlan cut = Plain(data);
    cut.cutAfter = offsets[i];
    world.server.Serve("/files/cut.bin", cut);
    const int32_t cutPhase = world.Download(h, target);
    const uint64_t partial = hvtest::FileSize(target);
    world.server.Serve("/files/cut.bin", Plain(data));
    const size_t first = world.server.RequestCount();
    const int32_t phase = world.Download(h, target);
    const uint64_t sent = world.SentSince(first);
    const bool identical = hvtest::ReadFileBytes(target) == data;
    Emit("case %zu %" PRIu64 " %" PRIu64 " %08X %08X %d %" PRIu64 "\n", i, offsets[i], partial,
         static_cast<uint32_t>(cutPhase), static_cast<uint32_t>(phase), identical ? 1 : 0, sent);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Matrix: one faulty answer per case (submitted twice where the second submit is the point), then an
// honest server; the row shows the faulty submit's phase, the file, the bytes sent, and the recovery.

constexpr uint64_t kMatrixBody = 4 * kMiB;

// Case flags. kTwice: the faulty answer is submitted twice and the row shows the second submit; kGzip: the
// body goes out gzip-encoded (kDamaged: damaged); kCompressible: text rather than random bytes; kVerify: the
// handle verifies the checksum; kEmpty: the server's file is now empty; kStartsAgain: the answer cannot be
// trusted once it is in, and the file starts again (it may cost the answer and one whole transfer).
enum : unsigned {
  kTwice = 1,
  kGzip = 2,
  kDamaged = 4 | kGzip,
  kCompressible = 8,
  kVerify = 16,
  kEmpty = 32,
  kStartsAgain = 64
};

struct MatrixCase {
  // What is at the target before: nothing, a true half or the whole file, half of or the whole of an older
  // version, or the file with 1 MiB of old bytes after it. A stale start may cost one extra whole transfer.
  enum Start { kNoFile, kHalf, kComplete, kOlderHalf, kOlderComplete, kLonger };
  // What happened before the faulty submit, across runs and beside other programs: an earlier run was cut
  // off at 1 MiB of the older version, whose server named it with an ETag (the faulty answer names its own);
  // another program holds the file open for 300 ms as the submit comes; an earlier run's process was killed
  // at 1 MiB.
  enum Before { kNothing, kCutOffAnOlderVersion, kHeldForAMoment, kKilledAt1MiB };
  const char* name;
  Start start;
  std::function<void(FaultPlan&)> fault;
  unsigned flags = 0;
  Before before = kNothing;

  bool Has(unsigned flag) const { return (flags & flag) == flag; }
};

std::vector<MatrixCase> MatrixCases() {
  auto none = [](FaultPlan&) {};
  auto range = [](RangeAnswer answer) { return [answer](FaultPlan& p) { p.range = answer; }; };
  auto length = [](LengthHeader header) {
    return [header](FaultPlan& p) {
      p.length = header;
      p.lengthSkew = 100000;
    };
  };
  auto noType = [](FaultPlan& p) { p.contentType.clear(); };
  using C = MatrixCase;
  return {
      {"complete file submitted again", C::kComplete, none},
      {"resume, 206 honoured", C::kHalf, range(RangeAnswer::kHonour)},
      {"resume, 206 from another offset", C::kHalf, range(RangeAnswer::kOtherOffset)},
      {"resume, 206 without Content-Range", C::kHalf, range(RangeAnswer::kNoContentRange)},
      {"resume, 200 whole body", C::kHalf, range(RangeAnswer::kWhole)},
      {"resume, 416", C::kHalf, range(RangeAnswer::kRefuse)},
      // Without a checksum a short length cannot be told from a short file: these two verify.
      {"fresh, Content-Length short, verified", C::kNoFile, length(LengthHeader::kShort), kVerify},
      {"fresh, Content-Length long", C::kNoFile, length(LengthHeader::kLong)},
      {"fresh, no Content-Length", C::kNoFile, length(LengthHeader::kAbsent)},
      {"fresh, Content-Length not a number", C::kNoFile, length(LengthHeader::kNonNumeric)},
      {"fresh, Content-Length 2^65", C::kNoFile, length(LengthHeader::kHuge)},
      {"resume, Content-Length short, verified", C::kHalf, length(LengthHeader::kShort), kVerify},
      {"resume, Content-Length long", C::kHalf, length(LengthHeader::kLong)},
      {"resume, no Content-Length", C::kHalf, length(LengthHeader::kAbsent)},
      {"resume, Content-Length not a number", C::kHalf, length(LengthHeader::kNonNumeric)},
      {"resume, Content-Length 2^65", C::kHalf, length(LengthHeader::kHuge)},
      {"fresh, no Content-Type", C::kNoFile, noType},
      {"resume, no Content-Type nor Content-Length", C::kHalf,
       [](FaultPlan& p) {
         p.contentType.clear();
         p.length = LengthHeader::kAbsent;
       }},
      {"fresh, cut at 1 MiB", C::kNoFile, [](FaultPlan& p) { p.cutAfter = kMiB; }},
      {"fresh, stall 2 s at 1 MiB, then close", C::kNoFile,
       [](FaultPlan& p) {
         p.stallAfter = kMiB;
         p.stallMs = 2000;
       }},
      {"fresh, no Content-Length, cut, verified", C::kNoFile,
       [](FaultPlan& p) {
         p.length = LengthHeader::kAbsent;
         p.cutAfter = kMiB;
       },
       kVerify},
      {"gzip, compressible", C::kNoFile, none, kGzip | kCompressible},
      {"gzip, compressible, submitted again", C::kNoFile, none, kGzip | kCompressible | kTwice},
      {"gzip, incompressible", C::kNoFile, none, kGzip},
      {"gzip, incompressible, submitted again", C::kNoFile, none, kGzip | kTwice},
      {"gzip damaged", C::kNoFile, none, kDamaged},
      {"gzip damaged, submitted again", C::kNoFile, none, kDamaged | kTwice},
      {"gzip damaged, submitted again, verified", C::kNoFile, none, kDamaged | kTwice | kVerify},
      // The server's file changed since the file at the target was written, or the file is stale.
      {"changed: half an older version, verified", C::kOlderHalf, none, kVerify},
      {"changed: older version whole, verified", C::kOlderComplete, none, kVerify},
      {"changed: gzip, half an older one, verified", C::kOlderHalf, none, kGzip | kVerify},
      {"stale: 1 MiB longer", C::kLonger, none},
      {"stale: 1 MiB longer, range ignored", C::kLonger, range(RangeAnswer::kWhole)},
      {"changed: now empty (416 bytes */0)", C::kOlderHalf, none, kEmpty},
      {"resume, no length, 5,000 bytes past range", C::kHalf,
       [](FaultPlan& p) {
         p.length = LengthHeader::kAbsent;
         p.extraBytes = 5000;
       },
       kStartsAgain},
      {"resume, no length, body from elsewhere", C::kHalf,
       [](FaultPlan& p) {
         p.length = LengthHeader::kAbsent;
         p.range = RangeAnswer::kShiftedBody;
       },
       kStartsAgain},
      {"changed between runs: cut at 1 MiB, new ETag", C::kNoFile, [](FaultPlan& p) { p.etag = "\"new\""; }, 0,
       C::kCutOffAnOlderVersion},
      {"held by another program for 300 ms, resume", C::kHalf, none, 0, C::kHeldForAMoment},
      {"killed mid-download at 1 MiB, resume", C::kNoFile, none, 0, C::kKilledAt1MiB},
  };
}

bool IsStale(MatrixCase::Start start) { return start >= MatrixCase::kOlderHalf; }

std::string MatrixData(const MatrixCase& c) {
  if (c.Has(kEmpty)) return std::string();
  if (!c.Has(kCompressible)) return hvtest::SampleBytes(kMatrixBody, 103);
  std::string text;
  while (text.size() < kMatrixBody) text += "line " + std::to_string(text.size()) + " of a compressible file\n";
  return text;
}

std::string WireBody(const MatrixCase& c, const std::string& data, bool damaged) {
  if (!c.Has(kGzip)) return data;
  std::string encoded = hvtest::Gzip(data);
  if (damaged) {
    for (size_t i = encoded.size() / 2; i < encoded.size() / 2 + 16; ++i)
      encoded[i] = static_cast<char>(encoded[i] ^ 0x5A);
  }
  return encoded;
}

// The file compared with what it should hold: "same" (identical), "prefix" (a true beginning of the data or
// of the wire body, so nothing is lost), "none" (empty or absent) or "corrupt".
const char* FileState(const std::wstring& path, const std::string& data, const std::string& wire) {
  const std::string file = hvtest::ReadFileBytes(path);
  if (file == data) return "same";
  if (file.empty()) return "none";
  auto isPrefixOf = [&file](const std::string& whole) {
    return file.size() <= whole.size() && std::equal(file.begin(), file.end(), whole.begin());
  };
  return isPrefixOf(data) || isPrefixOf(wire) ? "prefix" : "corrupt";
}

// An earlier run of an updater: this program again (--killee), downloading into target until it is
// killed once the server has sent 1 MiB and stalls.
void KillMidDownload(World& world, const std::string& name, const std::wstring& target) {
  FaultPlan stalling = Plain(hvtest::SampleBytes(kMatrixBody, 103));
  stalling.stallAfter = kMiB;
  stalling.stallMs = 30000;
  world.server.Serve("/files/" + name, stalling);
  hv::UniqueEvent process;
  hv::UniqueFile output;
  if (!hvtest::StartChild(hvtest::ThisProgram(), L"--killee " + g_wrapper + L" \"" + target + L"\"", process, output)) {
    return;
  }
  world.server.WaitForStalls(1, 20000);
  // The stall holds the body at 1 MiB. The child writes all of it but the read the stall left waiting for
  // its block (up to 256 KiB): it is killed once its file has stopped growing for 300 ms.
  uint64_t size = 0;
  for (int i = 0, steady = 0; i < 2000 && steady < 60; ++i) {
    Sleep(5);
    const uint64_t now = hvtest::FileSize(target);
    steady = now == size && now > 0 ? steady + 1 : 0;
    size = now;
  }
  TerminateProcess(process.get(), 9);
  WaitForSingleObject(process.get(), 10000);
  world.server.ReleaseStalls();
  world.server.WaitIdle(10000);
}

int RunKillee(const std::wstring& wrapper, const std::wstring& target) {
  g_wrapper = wrapper;
  hvpelk::Library pelk;
  if (!pelk.Loaded()) return 4;
  const int32_t h = OpenWithList(pelk, 0);
  pelk.PelkDownloadSubmit(h, 0, target.c_str());
  Sleep(60000);  // killed long before
  return 0;
}

void RunMatrix(size_t from, size_t to) {
  World world;
  world.Load();
  const std::vector<MatrixCase> cases = MatrixCases();
  for (size_t i = from; i < to; ++i) {
    const MatrixCase& c = cases[i];
    const std::string data = MatrixData(c);
    const std::string wire = WireBody(c, data, c.Has(kDamaged));
    const std::string name = "m" + std::to_string(i) + ".bin";
    const std::wstring target = world.temp.File(Wide(name));
    const std::string older = hvtest::SampleBytes(kMatrixBody, 109);
    switch (c.start) {
      case MatrixCase::kNoFile: break;
      case MatrixCase::kHalf: hvtest::WriteFileBytes(target, data.substr(0, data.size() / 2)); break;
      case MatrixCase::kComplete: hvtest::WriteFileBytes(target, data); break;
      case MatrixCase::kOlderHalf: hvtest::WriteFileBytes(target, older.substr(0, older.size() / 2)); break;
      case MatrixCase::kOlderComplete: hvtest::WriteFileBytes(target, older); break;
      case MatrixCase::kLonger: hvtest::WriteFileBytes(target, data + older.substr(0, kMiB)); break;
    }
    world.AnswerList(name, c.Has(kVerify) ? hvtest::Md5Hex(data) : std::string());
    const int32_t h = world.OpenWithList(c.Has(kVerify) ? PELK_FLAG_VERIFY_CHECKSUM : 0);
    if (c.before == MatrixCase::kCutOffAnOlderVersion) {
      FaultPlan cut = Plain(older);
      cut.etag = "\"old\"";
      cut.cutAfter = kMiB;
      world.server.Serve("/files/" + name, cut);
      world.Download(h, target);
    }
    if (c.before == MatrixCase::kKilledAt1MiB) KillMidDownload(world, name, target);
    FaultPlan plan = Plain(wire);
    if (c.Has(kGzip)) plan.contentEncoding = "gzip";
    c.fault(plan);
    world.server.Serve("/files/" + name, plan);
    std::thread holder;
    if (c.before == MatrixCase::kHeldForAMoment) {
      HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      holder = std::thread([held] {
        Sleep(300);
        const hv::UniqueFile release(held);
      });
    }

    int32_t phase = 0;
    uint64_t sent = 0;
    uint64_t bound = 0;
    // A server that answers ranges wrongly or gives no usable length forces a whole transfer.
    const bool whole = plan.range != RangeAnswer::kHonour || plan.length != LengthHeader::kTrue;
    for (int submit = 0; submit < (c.Has(kTwice) ? 2 : 1); ++submit) {
      // What a download costs at most: the rest of the wire body after a true beginning, plus 1 MiB.
      const std::string before = hvtest::ReadFileBytes(target);
      const bool resumable = before.size() <= wire.size() && std::equal(before.begin(), before.end(), wire.begin());
      bound = wire.size() - (resumable && !whole ? before.size() : 0) + kMiB;
      // A stale file, or an answer that cannot be trusted: the ranged answer and one whole transfer.
      if (IsStale(c.start) || c.Has(kStartsAgain)) bound = std::max(before.size(), wire.size()) + wire.size() + kMiB;
      const size_t first = world.server.RequestCount();
      phase = world.Download(h, target);
      sent = world.SentSince(first);
    }
    if (holder.joinable()) holder.join();
    const char* state = FileState(target, data, wire);

    // Then an honest server: the download must end with the true file.
    FaultPlan honest = Plain(WireBody(c, data, false));
    if (c.Has(kGzip)) honest.contentEncoding = "gzip";
    world.server.Serve("/files/" + name, honest);
    const int32_t after = world.Download(h, target);
    const bool recovered = after == PELK_PHASE_FINISHED && hvtest::ReadFileBytes(target) == data;
    world.pelk->PelkClose(h);
    Emit("case %zu %08X %s %" PRIu64 " %" PRIu64 " %08X %d\n", i, static_cast<uint32_t>(phase), state, sent, bound,
         static_cast<uint32_t>(after), recovered ? 1 : 0);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Races: 16 threads, each with its own handle, submit and then cancel or close after a random delay.

size_t ThreadCount() {
  const hv::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));  // invalid as a file handle
  size_t count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

// Handles open in this process, by type. GetProcessHandleCount always reports 0 under Wine, so every
// handle value (a multiple of 4) below 2^16 is probed instead.
using HandleTypes = std::map<std::string, long>;

HandleTypes HandlesByType() {
  HandleTypes types;
  std::vector<char> buffer(1024);
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags;
    if (!GetHandleInformation(handle, &flags)) continue;
    std::string name = "unknown";
    ULONG length = 0;
    if (NtQueryObject(handle, ObjectTypeInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length) >= 0) {
      const UNICODE_STRING& type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer.data())->TypeName;
      name.clear();
      for (size_t i = 0; i < type.Length / sizeof(wchar_t); ++i) name += static_cast<char>(type.Buffer[i]);
    }
    ++types[name];
  }
  return types;
}

long Total(const HandleTypes& types) {
  long total = 0;
  for (const auto& type : types) total += type.second;
  return total;
}

// Threads and handles once the threads that were ending have ended: the thread count is read until it holds
// still for 250 ms (at most 2 s).
void Settle(size_t& threads, HandleTypes& handles) {
  threads = ThreadCount();
  for (int steady = 0, i = 0; steady < 5 && i < 40; ++i) {
    Sleep(50);
    const size_t now = ThreadCount();
    steady = now == threads ? steady + 1 : 0;
    threads = now;
  }
  handles = HandlesByType();
}

// Runs cycles from..total on 16 threads, each with a handle of its own: submit, a random delay, then cancel
// and check, or close (the next cycle of that thread opens a new handle). The server runs in the parent
// (port), so that the thread and handle counts are the library's and WinINet's alone. A call running for
// more than 5 s is reported as a note, so that a hang says where it is.
// abandon: the server never answers (see RunRacePhase): every cancelled worker is let go, and the threads and
// handles are counted once the server's stalls have ended.
void RunRaces(size_t from, size_t total, bool close, int port, bool abandon) {
  hvtest::ScratchKey trellin{HKEY_LOCAL_MACHINE, ServiceKeyPath()};
  trellin.SetString(trellin.path(), L"S_URL", ServiceUrl(port));
  hvtest::TempDir temp;
  size_t threadsBefore, threadsOpen, threadsClosed, threadsUnloaded;
  HandleTypes handlesBefore, handlesOpen, handlesClosed, handlesUnloaded;
  // One load, query and unload first: WinINet and Winsock keep process-wide objects (a thread, events,
  // semaphores) from their first use on. The baseline includes them, so that what stays after the
  // measured unload is what one more load of the library leaves behind.
  {
    hvpelk::Library warmup;
    if (warmup.Loaded()) warmup.PelkClose(OpenWithList(warmup, 0));
  }
  Settle(threadsBefore, handlesBefore);
  auto pelk = std::make_unique<hvpelk::Library>();
  if (!pelk->Loaded()) {
    Emit("error: hvpelk.dll or one of its exports is missing\n");
    ExitProcess(4);
  }

  std::vector<int32_t> handles(kRaceHandles);
  for (int32_t& h : handles) h = OpenWithList(*pelk, 0);
  Settle(threadsOpen, handlesOpen);

  struct Running {
    std::atomic<const char*> call{nullptr};
    std::atomic<DWORD> since{0};
  };
  std::vector<Running> running(kRaceHandles);
  std::atomic<size_t> next(from);
  std::atomic<bool> finished(false);
  std::thread watchdog([&] {
    std::vector<DWORD> reported(kRaceHandles, 0);
    while (!finished) {
      Sleep(500);
      for (int slot = 0; slot < kRaceHandles; ++slot) {
        const char* call = running[slot].call;
        const DWORD since = running[slot].since;
        if (call != nullptr && GetTickCount() - since > 5000 && reported[slot] != since) {
          reported[slot] = since;
          Emit("note handle slot %d: %s still running after 5 s\n", slot, call);
        }
      }
    }
  });
  std::vector<std::thread> threads;
  threads.reserve(kRaceHandles);
  for (int slot = 0; slot < kRaceHandles; ++slot) {
    threads.emplace_back([&, slot] {
      std::mt19937 random(static_cast<unsigned>(slot * 7919 + from));
      const std::wstring target = temp.File(L"race-" + std::to_wstring(slot) + L".bin");
      DWORD slowest = 0;
      auto timed = [&](const char* call, const std::function<int32_t()>& operation) {
        running[slot].since = GetTickCount();
        running[slot].call = call;
        const int32_t status = operation();
        running[slot].call = nullptr;
        slowest = std::max<DWORD>(slowest, GetTickCount() - running[slot].since);
        return status;
      };
      int32_t& h = handles[slot];
      for (size_t i; (i = next++) < total;) {
        const DWORD delay = random() % 30;
        slowest = 0;
        if (close && h == 0) h = timed("PelkOpen and PelkQuerySubmit", [&] { return OpenWithList(*pelk, 0); });
        timed("PelkDownloadSubmit", [&] { return pelk->PelkDownloadSubmit(h, 0, target.c_str()); });
        Sleep(delay);
        uint64_t received, verified, size;
        int32_t phase = 0;
        if (close) {
          timed("PelkClose", [&] { return pelk->PelkClose(h); });
          h = 0;
        } else {
          timed("PelkDownloadCancel", [&] { return pelk->PelkDownloadCancel(h); });
          phase =
              timed("PelkDownloadCheck", [&] { return pelk->PelkDownloadCheck(h, 0, &received, &verified, &size); });
        }
        Emit("case %zu %lu %08X\n", i, static_cast<unsigned long>(slowest), static_cast<uint32_t>(phase));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  finished = true;
  watchdog.join();
  for (int32_t h : handles) pelk->PelkClose(h);
  Settle(threadsClosed, handlesClosed);
  pelk.reset();
  // Workers that were let go end once their server gives up; the last one unloads the library.
  if (abandon) Sleep(kAbandonStallMs + 2000);
  Settle(threadsUnloaded, handlesUnloaded);
  Emit("figure %ld %ld %ld %ld %zu %zu %zu %zu\n", Total(handlesBefore), Total(handlesOpen), Total(handlesClosed),
       Total(handlesUnloaded), threadsBefore, threadsOpen, threadsClosed, threadsUnloaded);
  // The handles that stayed after the unload, by type.
  std::string left;
  for (const auto& type : handlesUnloaded) {
    const long more = type.second - handlesBefore[type.first];
    if (more != 0) left += " " + type.first + (more > 0 ? " +" : " ") + std::to_string(more);
  }
  Emit("figure handles left after the unload, by type:%s\n", left.empty() ? " none" : left.c_str());
}

// ---------------------------------------------------------------------------------------------------------
// Answers: mutated query answers through PelkQuerySubmit.

const char* const kAnswerKinds[] = {"truncated",    "deep nesting", "huge attribute", "wrong encoding",
                                    "random bytes", "byte flips",   "no packet"};
constexpr size_t kKinds = sizeof(kAnswerKinds) / sizeof(kAnswerKinds[0]);

struct Mutation {
  size_t kind;
  bool mustFail;  // no reading of these bytes is a packet
  std::string bytes;
};

std::string ValidAnswer() {
  std::string updates;
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i);
    updates += hvtest::UpdateElement({"C" + n, "Product " + n, "http://127.0.0.1:1/files/" + n, "", "{P" + n + "}",
                                      "{D" + n + "}", "en", "1." + n, "1000"});
  }
  return hvtest::AnswerPacket(0, updates);
}

// The text from the first `from` up to the first `to` after it.
std::string Between(const std::string& text, const char* from, const char* to) {
  const size_t start = text.find(from);
  return text.substr(start, text.find(to, start) - start);
}

std::string Utf16(const std::string& text, bool bigEndian) {
  std::string out;
  for (char c : text) {
    out += bigEndian ? '\0' : c;
    out += bigEndian ? c : '\0';
  }
  return out;
}

// Answer i, the same in parent and child.
Mutation MakeAnswer(size_t i) {
  std::mt19937 random(static_cast<unsigned>(i * 2654435761u + 17));
  const std::string valid = ValidAnswer();
  const size_t kind = i % kKinds;
  Mutation m{kind, false, std::string()};
  // Sizes spread evenly over orders of magnitude: log-uniform between low and high.
  auto spread = [&random](double low, double high) {
    return static_cast<size_t>(std::exp(std::log(low) + (std::log(high) - std::log(low)) * (random() / 4294967296.0)));
  };
  switch (kind) {
    case 0:
      m.mustFail = true;
      m.bytes = valid.substr(0, random() % valid.size());
      break;
    case 1: {
      const size_t depth = spread(100, 200000);
      std::string open, close;
      for (size_t d = 0; d < depth; ++d) open += "<a>";
      // Half of them never close their elements.
      m.mustFail = random() % 2 == 0;
      if (!m.mustFail) {
        for (size_t d = 0; d < depth; ++d) close += "</a>";
      }
      m.bytes = m.mustFail ? valid.substr(0, valid.find("<body>") + 6) + open
                           : hvtest::AnswerPacket(0, open + close + Between(valid, "<update>", "</body>"));
      break;
    }
    case 2: {
      std::string huge(spread(1024, 4 * kMiB), 'x');
      for (char& c : huge) c = static_cast<char>('a' + random() % 26);
      hvtest::Update update{"C", "Product", "http://127.0.0.1:1/f", "", "{P}", "{D}", "en", "1.0", "1"};
      (random() % 2 ? update.package : update.product) = huge;
      m.bytes = hvtest::AnswerPacket(0, hvtest::UpdateElement(update));
      break;
    }
    case 3:
      switch (random() % 6) {
        case 0: m.bytes = "<?xml version=\"1.0\" encoding=\"utf-16\"?>" + valid.substr(valid.find("?>") + 2); break;
        case 1: m.bytes = "\xFF\xFE" + Utf16(valid, false); break;
        case 2: m.bytes = ("\xFF\xFE" + Utf16(valid, false)).substr(0, valid.size() * 2 + 1); break;
        case 3: m.bytes = Utf16(valid, true); break;
        case 4: {
          m.bytes = valid;
          const std::string bad[] = {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"};
          m.bytes.insert(m.bytes.find("Product"), bad[random() % 5]);
          break;
        }
        default:
          m.bytes = "<?xml version=\"1.0\" encoding=\"x-unknown\"?>\xA4\xE9" + valid.substr(valid.find("?>") + 2);
      }
      break;
    case 4:
      m.mustFail = true;
      m.bytes.resize(random() % 65536);
      for (char& c : m.bytes) c = static_cast<char>(random());
      break;
    case 5:
      m.bytes = valid;
      for (size_t flips = 1 + random() % 8; flips > 0; --flips)
        m.bytes[random() % m.bytes.size()] = static_cast<char>(random());
      break;
    default: {
      m.mustFail = true;
      const std::string body = Between(valid, "<body>", "</packet>");
      // Well-formed XML that is no packet: neither a "packet" root nor a header.
      const std::string pages[] = {"<?xml version=\"1.0\"?><answer>" + body + "</answer>",
                                   "<?xml version=\"1.0\"?><html><body><form action=\"/login\"/></body></html>",
                                   "<packets/>", "<reply><status code=\"0\"/>" + body + "</reply>"};
      m.bytes = pages[random() % 4];
    }
  }
  return m;
}

void RunAnswers(size_t from, size_t to) {
  World world;
  world.Load();
  world.AnswerList("a.bin");
  const int32_t h = world.OpenWithList(0);
  hvpelk::Library& pelk = *world.pelk;
  for (size_t i = from; i < to; ++i) {
    const Mutation m = MakeAnswer(i);
    FaultPlan answer = Plain(m.bytes);
    answer.contentType = "text/xml";
    world.server.Serve("/service", answer);
    int32_t before = 0, after = 0;
    pelk.PelkGetDistCount(h, &before);
    const DWORD start = GetTickCount();
    const int32_t status = pelk.PelkQuerySubmit(h, -1);
    const DWORD elapsed = GetTickCount() - start;
    pelk.PelkGetDistCount(h, &after);
    const bool listKept = status == PELK_S_OK || after == before;
    Emit("case %zu %08X %lu %d\n", i, static_cast<uint32_t>(status), static_cast<unsigned long>(elapsed),
         listKept ? 1 : 0);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Latency: how long PelkDownloadCancel takes to return, and how long until the phase is final, in each
// phase of a download.

constexpr int kLatencyRounds = 20;
const char* const kLatencyKinds[] = {"receiving, slow server (1 KiB per 50 ms)", "receiving, fast server",
                                     "verifying a 4 GiB file", "decoding 1 GiB",
                                     "receiving, 16 MiB fast, then 1 KiB per 50 ms"};
constexpr size_t kLatencyKindCount = sizeof(kLatencyKinds) / sizeof(kLatencyKinds[0]);

void RunLatency(size_t from, size_t to) {
  World world;
  world.Load();
  FaultPlan slow = Plain(hvtest::SampleBytes(4 * kMiB, 113));
  slow.paceBytes = 1024;
  slow.paceMs = 50;
  world.server.Serve("/files/slow.bin", slow);
  world.server.Serve("/files/fast.bin", Plain(hvtest::SampleBytes(16 * kMiB, 127)));
  const uint64_t huge = 4ull << 30;
  FaultPlan refused;
  refused.raw = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(huge) +
                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  world.server.Serve("/files/huge.bin", refused);
  std::string encoded;
  const std::string member = hvtest::Gzip(std::string(64 * kMiB, '\0'));
  for (int i = 0; i < 16; ++i) encoded += member;
  FaultPlan gzipped = Plain(encoded);
  gzipped.contentEncoding = "gzip";
  world.server.Serve("/files/encoded.bin", gzipped);
  // A read sized for the fast part waits for its whole block at the slow pace: the job lets the worker go.
  FaultPlan turned = Plain(hvtest::SampleBytes(20 * kMiB, 131));
  turned.paceBytes = 1024;
  turned.paceMs = 50;
  turned.paceFrom = 16 * kMiB;
  world.server.Serve("/files/turned.bin", turned);
  const char* const names[] = {"slow.bin", "fast.bin", "huge.bin", "encoded.bin", "turned.bin"};
  for (size_t i = from; i < to; ++i) {
    const size_t kind = i % kLatencyKindCount;
    // A worker that was let go holds its file until its read returns: that kind's targets are its own.
    const std::wstring target =
        world.temp.File(kind == 4 ? L"latency-turned-" + std::to_wstring(i) + L".bin" : L"latency.bin");
    DeleteFileW(target.c_str());
    DeleteFileW((target + L".encoded").c_str());
    if (kind == 2) hvtest::MakeSparseFile(target, huge);
    if (kind == 3) hvtest::WriteFileBytes(target + L".encoded", encoded);
    world.AnswerList(names[kind], kind == 2 ? std::string(32, '0') : std::string());
    const int32_t h = world.OpenWithList(kind == 2 ? PELK_FLAG_VERIFY_CHECKSUM : 0);
    world.pelk->PelkDownloadSubmit(h, 0, target.c_str());
    // Cancelled once the phase to measure is under way.
    int32_t phase = 0;
    uint64_t received = 0, verified = 0, total = 0;
    for (int wait = 0; wait < 20000; ++wait) {
      phase = world.pelk->PelkDownloadCheck(h, 0, &received, &verified, &total);
      const bool underWay = kind == 0   ? received > 0
                            : kind == 1 ? received > kMiB
                            : kind == 2 ? verified > 0
                            : kind == 3 ? hvtest::FileSize(target + L".temp") > 0
                                        : received > 15 * kMiB;
      if (underWay || PELK_PHASE_IS_FINAL(phase)) break;
      Sleep(1);
    }
    if (kind == 4) Sleep(200);  // the last fast MiB is in: a read waits at the slow pace
    const auto start = std::chrono::steady_clock::now();
    world.pelk->PelkDownloadCancel(h);
    const auto returned = std::chrono::steady_clock::now();
    while (!PELK_PHASE_IS_FINAL(phase = world.pelk->PelkDownloadCheck(h, 0, &received, &verified, &total))) Sleep(1);
    const auto final = std::chrono::steady_clock::now();
    world.pelk->PelkClose(h);
    const auto closed = std::chrono::steady_clock::now();
    const auto ms = [](std::chrono::steady_clock::time_point begin, std::chrono::steady_clock::time_point end) {
      return std::chrono::duration<double, std::milli>(end - begin).count();
    };
    Emit("case %zu %zu %.1f %.1f %.1f %08X\n", i, kind, ms(start, returned), ms(start, final), ms(final, closed),
         static_cast<uint32_t>(phase));
  }
}

// ---------------------------------------------------------------------------------------------------------
// Silence: servers that accept a request and then send nothing (before the headers, in the middle of the
// body, after a body that runs to the close) and a redirect loop, for the service and for a download; how
// long each export takes to return against them, and how many requests a redirect loop costs.

const char* const kSilenceKinds[] = {"silent before the headers", "silent in the middle of the body",
                                     "silent after a body without a length", "a redirect to itself"};
constexpr size_t kSilenceKindCount = sizeof(kSilenceKinds) / sizeof(kSilenceKinds[0]);
constexpr int kSilenceRounds = 3;
const char* const kSilenceCalls[] = {
    "PelkQuerySubmit, limit 1500 ms", "PelkQueryCancel",    "PelkQuerySubmit again",  "PelkQueryReset",
    "PelkClose (query running)",      "PelkDownloadCancel", "  then the phase final", "PelkDownloadSubmit again",
    "PelkClose (download running)"};
constexpr size_t kSilenceCallCount = sizeof(kSilenceCalls) / sizeof(kSilenceCalls[0]);
// How long a silent server waits before it closes the connection: the time a library that waits for the
// network would show.
constexpr int kSilenceStallMs = 15000;
// How long the phase is polled after a cancel before it counts as never final.
constexpr int kFinalWithinMs = 20000;

FaultPlan SilentPlan(size_t kind, const std::string& body, const std::string& type, const std::string& self) {
  FaultPlan plan = Plain(body);
  plan.contentType = type;
  plan.stallMs = kSilenceStallMs;
  if (kind == 0) plan.silent = true;
  if (kind == 1) plan.stallAfter = body.size() / 2;
  if (kind == 2) {
    plan.length = LengthHeader::kAbsent;
    plan.stallAfter = body.size();
  }
  if (kind == 3) plan.raw = "HTTP/1.1 302 Found\r\nLocation: " + self + "\r\nContent-Length: 0\r\n\r\n";
  return plan;
}

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

template <typename Call>
double TimeOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return MsSince(start);
}

void RunSilence(size_t from, size_t to) {
  World world;
  world.Load();
  hvpelk::Library& pelk = *world.pelk;
  const std::string data = hvtest::SampleBytes(4 * kMiB, 131);
  for (size_t i = from; i < to; ++i) {
    const size_t kind = i % kSilenceKindCount;
    double ms[kSilenceCallCount] = {};
    // The service falls silent.
    const FaultPlan list = ListAnswer(world.server, "silent.bin", std::string());
    world.server.Serve("/service", SilentPlan(kind, list.body, "text/xml", "/service"));
    int32_t h = 0;
    pelk.PelkOpen(L"Torture", L"1.0", g_wrapper.c_str(), L"1.0", L"en-US", 0, &h);
    ms[0] = TimeOf([&] { pelk.PelkQuerySubmit(h, 1500); });
    size_t before = world.server.RequestCount();
    pelk.PelkQuerySubmit(h, 0);
    world.server.WaitForRequests(before + 1, 5000);
    ms[1] = TimeOf([&] { pelk.PelkQueryCancel(h); });
    before = world.server.RequestCount();
    pelk.PelkQuerySubmit(h, 0);
    world.server.WaitForRequests(before + 1, 5000);
    before = world.server.RequestCount();
    ms[2] = TimeOf([&] { pelk.PelkQuerySubmit(h, 0); });
    world.server.WaitForRequests(before + 1, 5000);
    ms[3] = TimeOf([&] { pelk.PelkQueryReset(h); });
    ms[4] = TimeOf([&] { pelk.PelkClose(h); });

    // The service answers; the download server falls silent.
    world.AnswerList("silent.bin");
    world.server.Serve("/files/silent.bin", SilentPlan(kind, data, "application/octet-stream", "/files/silent.bin"));
    h = world.OpenWithList(0);
    const std::wstring target = world.temp.File(L"silent-" + std::to_wstring(i));
    uint64_t received = 0, verified = 0, total = 0;
    // A download left to itself: what a redirect loop costs until the phase is final.
    before = world.server.RequestCount();
    pelk.PelkDownloadSubmit(h, 0, (target + L"-loop.bin").c_str());
    const auto submitted = std::chrono::steady_clock::now();
    while (kind == 3 && MsSince(submitted) < kFinalWithinMs &&
           !PELK_PHASE_IS_FINAL(pelk.PelkDownloadCheck(h, 0, &received, &verified, &total))) {
      Sleep(1);
    }
    const size_t requests = world.server.RequestCount() - before;
    before = world.server.RequestCount();
    pelk.PelkDownloadSubmit(h, 0, (target + L"-a.bin").c_str());
    world.server.WaitForRequests(before + 1, 5000);
    int32_t phase = 0;
    for (int wait = 0; kind != 0 && kind != 3 && wait < 5000; ++wait) {
      phase = pelk.PelkDownloadCheck(h, 0, &received, &verified, &total);
      if (received > 0 || PELK_PHASE_IS_FINAL(phase)) break;
      Sleep(1);
    }
    const auto cancelled = std::chrono::steady_clock::now();
    ms[5] = TimeOf([&] { pelk.PelkDownloadCancel(h); });
    ms[6] = -1;
    while (MsSince(cancelled) < kFinalWithinMs) {
      if (PELK_PHASE_IS_FINAL(pelk.PelkDownloadCheck(h, 0, &received, &verified, &total))) {
        ms[6] = MsSince(cancelled);
        break;
      }
      Sleep(1);
    }
    before = world.server.RequestCount();
    pelk.PelkDownloadSubmit(h, 0, (target + L"-b.bin").c_str());
    world.server.WaitForRequests(before + 1, 5000);
    before = world.server.RequestCount();
    ms[7] = TimeOf([&] { pelk.PelkDownloadSubmit(h, 0, (target + L"-c.bin").c_str()); });
    world.server.WaitForRequests(before + 1, 5000);
    ms[8] = TimeOf([&] { pelk.PelkClose(h); });
    std::string line = "case " + std::to_string(i) + " " + std::to_string(kind);
    for (double value : ms) line += " " + std::to_string(value);
    Emit("%s %zu\n", line.c_str(), requests);
  }
}

// ---------------------------------------------------------------------------------------------------------
int RunChild(const std::string& phase, size_t from, size_t to, int port) {
  g_wrapper = L"Torture" + std::to_wstring(to);
  if (phase == "cuts") RunCuts(from, to);
  if (phase == "matrix") RunMatrix(from, to);
  if (phase == "cancels") RunRaces(from, to, false, port, false);
  if (phase == "closes") RunRaces(from, to, true, port, false);
  if (phase == "abandons") RunRaces(from, to, false, port, true);
  if (phase == "silence") RunSilence(from, to);
  if (phase == "answers") RunAnswers(from, to);
  if (phase == "latency") RunLatency(from, to);
  return 0;
}

// ---------------------------------------------------------------------------------------------------------
// Parent side: children, their lines, crashes and hangs.

// A child process whose standard output arrives line by line on a reader thread.
class Child {
 public:
  Child(const std::string& phase, size_t from, size_t to, int port) {
    hv::UniqueFile readEnd;
    hvtest::StartChild(hvtest::ThisProgram(),
                       L"--child " + Wide(phase) + L" " + std::to_wstring(from) + L" " + std::to_wstring(to) + L" " +
                           std::to_wstring(port),
                       process_, readEnd);
    reader_ = std::thread([this, output = readEnd.release()] { Read(output); });
  }

  ~Child() {
    if (process_) TerminateProcess(process_.get(), 1);
    reader_.join();
  }

  // The next line; false at the end of the output or when none came within timeoutMs (hung is then set).
  bool NextLine(std::string& line, DWORD timeoutMs, bool& hung) {
    std::unique_lock<std::mutex> lock(mutex_);
    hung = !arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !lines_.empty() || ended_; });
    if (hung || lines_.empty()) return false;
    line = lines_.front();
    lines_.erase(lines_.begin());
    return true;
  }

  // Ends a hung child; returns the exit code of an ended one.
  DWORD Finish(bool kill) {
    if (!process_) return 1;
    if (kill) TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process_.get(), &code);
    process_.reset();
    return code;
  }

 private:
  // Reads the child's output (an invalid handle ends at once) and closes it.
  void Read(HANDLE output) {
    const hv::UniqueFile readEnd(output);
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      pending.append(buffer, got);
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        lines_.push_back(pending.substr(0, end));
      }
      arrived_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    arrived_.notify_all();
  }

  hv::UniqueEvent process_;  // null when invalid, as an event
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

struct PhaseResult {
  std::vector<std::string> cases;    // the "case" lines, without the word
  std::vector<std::string> figures;  // the "figure" lines of the last child, without the word
  std::vector<size_t> crashed;       // the case each crash happened on
  std::vector<size_t> hung;          // the case each hang happened on
  std::vector<std::string> notes;    // what the children said about slow calls
  std::map<size_t, DWORD> exitCodes;
};

// Runs cases from..to of a phase in as many children as it takes, one after another; port is the parent's
// server, if any. A child hangs when no case ends for 10 s (the silence phase: 180 s).
PhaseResult RunCases(const std::string& phase, size_t from, size_t to, int port) {
  PhaseResult result;
  size_t next = from;
  while (next < to) {
    Child child(phase, next, to, port);
    result.figures.clear();
    std::string line;
    bool hung = false;
    size_t done = 0;
    DWORD lastCase = GetTickCount();
    // After its last case the abandons phase waits for its let-go workers' server to give up, and counts
    // threads and handles twice (probing every handle value takes seconds under Wine).
    const DWORD hangMs = phase == "silence" ? kSilenceHangMs : phase == "abandons" ? 4 * kHangMs : kHangMs;
    while (child.NextLine(line, hangMs - std::min<DWORD>(hangMs, GetTickCount() - lastCase), hung)) {
      if (line.compare(0, 5, "case ") == 0) {
        result.cases.push_back(line.substr(5));
        lastCase = GetTickCount();
        ++done;
      } else if (line.compare(0, 7, "figure ") == 0) {
        result.figures.push_back(line.substr(7));
      } else if (line.compare(0, 5, "note ") == 0) {
        result.notes.push_back(line.substr(5));
      }
    }
    const DWORD code = child.Finish(hung);
    next += done;
    if (hung) {
      result.hung.push_back(next++);
    } else if (code != 0 || next < to) {
      result.exitCodes[next] = code;
      result.crashed.push_back(next++);
    }
  }
  return result;
}

// Runs cases 0..total of a phase in `lanes` ranges side by side, each in children of its own.
PhaseResult RunPhase(const std::string& phase, size_t total, int port = 0, size_t lanes = 1) {
  PhaseResult result;
  std::mutex merging;
  std::vector<std::thread> threads;
  for (size_t lane = 0; lane < lanes; ++lane) {
    threads.emplace_back([&, lane] {
      const PhaseResult part = RunCases(phase, total * lane / lanes, total * (lane + 1) / lanes, port);
      std::lock_guard<std::mutex> lock(merging);
      result.cases.insert(result.cases.end(), part.cases.begin(), part.cases.end());
      result.figures.insert(result.figures.end(), part.figures.begin(), part.figures.end());
      result.crashed.insert(result.crashed.end(), part.crashed.begin(), part.crashed.end());
      result.hung.insert(result.hung.end(), part.hung.begin(), part.hung.end());
      result.notes.insert(result.notes.end(), part.notes.begin(), part.notes.end());
      result.exitCodes.insert(part.exitCodes.begin(), part.exitCodes.end());
    });
  }
  for (std::thread& thread : threads) thread.join();
  return result;
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

std::string MiB(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof(text), "%.2f MiB", static_cast<double>(bytes) / kMiB);
  return text;
}

// describe(i) names case i of total; a crash or hang after the last case happened while the child ended.
void PrintCrashesAndHangs(const PhaseResult& r, size_t total, const std::function<std::string(size_t)>& describe) {
  auto name = [&](size_t i) { return i < total ? describe(i) : std::string("after the last case"); };
  printf("  %-44s %-24zu target 0\n", "crashes (abnormal exits of a child)", r.crashed.size());
  for (size_t i : r.crashed) {
    printf("    case %zu (%s): exit code %s\n", i, name(i).c_str(), Hex(r.exitCodes.at(i)).c_str());
  }
  printf("  %-44s %-24zu target 0\n", "hangs (no progress for 10 s)", r.hung.size());
  for (size_t i : r.hung) printf("    case %zu (%s)\n", i, name(i).c_str());
}

void ReportCuts(const PhaseResult& r) {
  const std::vector<uint64_t> offsets = CutOffsets();
  size_t identical = 0, successLies = 0, overBound = 0;
  uint64_t sentTotal = 0, missingTotal = 0, worstExcess = 0, worstCut = 0, worstSent = 0, worstMissing = 0;
  for (const std::string& line : r.cases) {
    size_t i;
    uint64_t cut, partial, sent;
    uint32_t cutPhase, phase;
    int same;
    if (sscanf(line.c_str(), "%zu %" SCNu64 " %" SCNu64 " %X %X %d %" SCNu64, &i, &cut, &partial, &cutPhase, &phase,
               &same, &sent) != 7) {
      continue;
    }
    identical += same;
    // A cut transfer reported as finished, or a finished resume with a wrong file, is a failure passed off as success.
    if (static_cast<int32_t>(cutPhase) == PELK_PHASE_FINISHED && cut < kCutBody) ++successLies;
    if (static_cast<int32_t>(phase) == PELK_PHASE_FINISHED && !same) ++successLies;
    const uint64_t missing = kCutBody - std::min(partial, kCutBody);
    sentTotal += sent;
    missingTotal += missing;
    if (sent > missing + kMiB) ++overBound;
    if (sent > missing && sent - missing > worstExcess) {
      worstExcess = sent - missing;
      worstCut = cut;
      worstSent = sent;
      worstMissing = missing;
    }
  }
  printf("\ncuts: an 8 MiB download cut at 0, 1, 4095-4097, 65535-65536 and 200 random offsets, each resumed\n");
  printf("  %-44s %-24s target %zu/%zu (100%%)\n", "identical after the resume",
         (std::to_string(identical) + "/" + std::to_string(offsets.size())).c_str(), offsets.size(), offsets.size());
  printf("  %-44s %-24zu target 0\n", "failures reported as success", successLies);
  printf("  %-44s %-24s target <= missing + 1 MiB each\n", "bytes sent on resume / bytes missing",
         (MiB(sentTotal) + " / " + MiB(missingTotal)).c_str());
  printf("  %-44s %-24zu target 0\n", "resumes over missing + 1 MiB", overBound);
  if (worstExcess > 0) {
    printf("  worst resume: cut at %" PRIu64 ", sent %s for %s missing\n", worstCut, MiB(worstSent).c_str(),
           MiB(worstMissing).c_str());
  }
  PrintCrashesAndHangs(r, offsets.size(), [&offsets](size_t i) { return "cut at " + std::to_string(offsets[i]); });
}

void ReportMatrix(const PhaseResult& r) {
  const std::vector<MatrixCase> cases = MatrixCases();
  printf("\nmatrix: one faulty answer (twice where marked), then an honest server; %s bodies\n",
         MiB(kMatrixBody).c_str());
  printf("  %-45s %-11s %-8s %-11s %-10s %-11s %s\n", "case", "phase", "file", "sent", "bound", "then honest",
         "verdict");
  size_t lies = 0, losses = 0, overBound = 0, unrecovered = 0;
  for (const std::string& line : r.cases) {
    size_t i;
    uint32_t phase, after;
    char state[16];
    uint64_t sent, bound;
    int recovered;
    if (sscanf(line.c_str(), "%zu %X %15s %" SCNu64 " %" SCNu64 " %X %d", &i, &phase, state, &sent, &bound, &after,
               &recovered) != 7 ||
        i >= cases.size()) {
      continue;
    }
    const bool finished = static_cast<int32_t>(phase) == PELK_PHASE_FINISHED;
    const std::string file = state;
    std::string verdict;
    if (finished && file != "same") {
      verdict += " failure-as-success";
      ++lies;
    }
    if (!finished && file == "corrupt") {
      verdict += " file-corrupted";
      ++losses;
    }
    if (sent > bound) {
      verdict += " over-bound";
      ++overBound;
    }
    if (!recovered) {
      verdict += " no-recovery";
      ++unrecovered;
    }
    printf("  %-45s %-11s %-8s %-11s %-10s %-11s %s\n", cases[i].name, Hex(phase).c_str(), state, MiB(sent).c_str(),
           MiB(bound).c_str(), (recovered ? "same" : Hex(after)).c_str(), verdict.empty() ? "ok" : verdict.c_str() + 1);
  }
  printf("  %-44s %-24zu target 0\n", "failures reported as success", lies);
  printf("  %-44s %-24zu target 0\n", "failures that corrupted the file", losses);
  printf("  %-44s %-24zu target 0\n", "bytes sent over the bound", overBound);
  printf("  %-44s %-24zu target 0\n", "no identical file from an honest server after", unrecovered);
  PrintCrashesAndHangs(r, cases.size(), [&cases](size_t i) { return std::string(cases[i].name); });
}

void ReportLatency(const PhaseResult& r) {
  std::vector<std::vector<double>> returns(kLatencyKindCount), finals(kLatencyKindCount), closes(kLatencyKindCount);
  for (const std::string& line : r.cases) {
    size_t i, kind;
    double returned, final, closed;
    uint32_t phase;
    if (sscanf(line.c_str(), "%zu %zu %lf %lf %lf %X", &i, &kind, &returned, &final, &closed, &phase) != 6) continue;
    if (kind >= kLatencyKindCount) continue;
    returns[kind].push_back(returned);
    finals[kind].push_back(final);
    closes[kind].push_back(closed);
  }
  auto medianAndMax = [](std::vector<double> values) {
    if (values.empty()) return std::string("-");
    std::sort(values.begin(), values.end());
    char text[64];
    snprintf(text, sizeof(text), "%.1f / %.1f ms", values[values.size() / 2], values.back());
    return std::string(text);
  };
  printf(
      "\nlatency: %d cancels in each phase; median / max of the time until PelkDownloadCancel returned and "
      "until the phase was final (target <= 100 ms), and how long PelkClose then took\n",
      kLatencyRounds);
  printf("  %-42s %-18s %-18s %s\n", "phase", "cancel returned", "phase final", "then PelkClose");
  for (size_t k = 0; k < kLatencyKindCount; ++k) {
    printf("  %-42s %-18s %-18s %s\n", kLatencyKinds[k], medianAndMax(returns[k]).c_str(),
           medianAndMax(finals[k]).c_str(), medianAndMax(closes[k]).c_str());
  }
  PrintCrashesAndHangs(r, kLatencyRounds * kLatencyKindCount,
                       [](size_t i) { return std::string(kLatencyKinds[i % kLatencyKindCount]); });
}

void ReportSilence(const PhaseResult& r) {
  std::vector<std::vector<std::vector<double>>> times(kSilenceKindCount,
                                                      std::vector<std::vector<double>>(kSilenceCallCount));
  std::vector<std::vector<size_t>> requests(kSilenceKindCount);
  for (const std::string& line : r.cases) {
    std::istringstream in(line);
    size_t i = 0, kind = 0;
    in >> i >> kind;
    if (!in || kind >= kSilenceKindCount) continue;
    std::vector<double> ms(kSilenceCallCount);
    for (double& value : ms) in >> value;
    size_t count = 0;
    in >> count;
    if (!in) continue;
    for (size_t c = 0; c < kSilenceCallCount; ++c) times[kind][c].push_back(ms[c]);
    requests[kind].push_back(count);
  }
  auto medianAndMax = [](std::vector<double> values) {
    if (values.empty()) return std::string("-");
    std::sort(values.begin(), values.end());
    // -1: the phase was not final within the time polled.
    auto text = [](double value) {
      char out[32];
      if (value < 0) return std::string("never");
      snprintf(out, sizeof(out), "%.0f", value);
      return std::string(out);
    };
    return text(values[values.size() / 2]) + " / " + text(values.front() < 0 ? -1 : values.back());
  };
  printf(
      "\nsilence: %d rounds against each server; median / max ms until each call returned (target: a time limit "
      "within 100 ms of its value, everything else within 100 ms); silent servers close after %d s\n",
      kSilenceRounds, kSilenceStallMs / 1000);
  printf("  %-32s", "call");
  for (size_t k = 0; k < kSilenceKindCount; ++k) printf(" %-22.22s", kSilenceKinds[k]);
  printf("\n");
  for (size_t c = 0; c < kSilenceCallCount; ++c) {
    printf("  %-32s", kSilenceCalls[c]);
    for (size_t k = 0; k < kSilenceKindCount; ++k) printf(" %-22s", medianAndMax(times[k][c]).c_str());
    printf("\n");
  }
  std::vector<size_t>& loop = requests[kSilenceKindCount - 1];
  std::sort(loop.begin(), loop.end());
  printf("  %-32s %s\n", "requests of a redirect loop",
         loop.empty() ? "-"
                      : (std::to_string(loop[loop.size() / 2]) + " (median), " + std::to_string(loop.back()) +
                         " (max) until final or " + std::to_string(kFinalWithinMs / 1000) + " s")
                            .c_str());
  PrintCrashesAndHangs(r, kSilenceRounds * kSilenceKindCount,
                       [](size_t i) { return std::string(kSilenceKinds[i % kSilenceKindCount]); });
}

void ReportRaces(const char* title, size_t total, const PhaseResult& r) {
  DWORD slowest = 0;
  std::map<uint32_t, size_t> phases;
  size_t slowCalls = 0;
  for (const std::string& line : r.cases) {
    size_t i;
    unsigned long ms;
    uint32_t phase;
    if (sscanf(line.c_str(), "%zu %lu %X", &i, &ms, &phase) != 3) continue;
    slowest = std::max<DWORD>(slowest, ms);
    if (ms > kHangMs) ++slowCalls;
    ++phases[phase];
  }
  printf("\n%s\n", title);
  printf("  %-44s %-24zu\n", "cycles completed", r.cases.size());
  PrintCrashesAndHangs(r, total, [](size_t) { return std::string("a cycle"); });
  printf("  %-44s %-24zu target 0\n", "calls that took over 10 s", slowCalls);
  printf("  %-44s %-24zu\n", "calls seen running after 5 s", r.notes.size());
  for (size_t i = 0; i < r.notes.size() && i < 8; ++i) printf("    %s\n", r.notes[i].c_str());
  printf("  %-44s %-24s\n", "slowest call", (std::to_string(slowest) + " ms").c_str());
  unsigned long h[4] = {}, t[4] = {};
  if (r.figures.size() == 2 && sscanf(r.figures[0].c_str(), "%lu %lu %lu %lu %lu %lu %lu %lu", &h[0], &h[1], &h[2],
                                      &h[3], &t[0], &t[1], &t[2], &t[3]) == 8) {
    printf("  %-44s %lu / %lu / %lu / %lu    target: the last two back to the first\n",
           "handles: before load / 16 open / closed / unloaded", h[0], h[1], h[2], h[3]);
    printf("  %-44s %lu / %lu / %lu / %lu\n", "threads: before load / 16 open / closed / unloaded", t[0], t[1], t[2],
           t[3]);
    printf("  %s\n", r.figures[1].c_str());
  } else {
    printf("  handles and threads: not measured (the last child did not finish)\n");
  }
  if (!phases.empty()) {
    printf("  phase after the cancel or close:");
    for (const auto& p : phases) printf(" %s x%zu", Hex(p.first).c_str(), p.second);
    printf("\n");
  }
}

void ReportAnswers(const PhaseResult& r) {
  std::map<uint32_t, size_t> statuses;
  std::vector<std::map<uint32_t, size_t>> byKind(kKinds);
  size_t lies = 0, lost = 0, slowCalls = 0;
  unsigned long slowest = 0;
  size_t slowestCase = 0;
  for (const std::string& line : r.cases) {
    size_t i;
    uint32_t status;
    unsigned long ms;
    int kept;
    if (sscanf(line.c_str(), "%zu %X %lu %d", &i, &status, &ms, &kept) != 4) continue;
    ++statuses[status];
    ++byKind[i % kKinds][status];
    if (status == PELK_S_OK && MakeAnswer(i).mustFail) ++lies;
    if (!kept) ++lost;
    if (ms > kHangMs) ++slowCalls;
    if (ms >= slowest) {
      slowest = ms;
      slowestCase = i;
    }
  }
  printf("\nanswers: %d mutated query answers through PelkQuerySubmit\n", kAnswers);
  printf("  status histogram:");
  for (const auto& s : statuses) printf(" %s x%zu", Hex(s.first).c_str(), s.second);
  printf("\n");
  for (size_t k = 0; k < kKinds; ++k) {
    printf("    %-16s", kAnswerKinds[k]);
    for (const auto& s : byKind[k]) printf(" %s x%zu", Hex(s.first).c_str(), s.second);
    printf("\n");
  }
  printf("  %-44s %-24zu target 0\n", "not-a-packet answers accepted as success", lies);
  printf("  %-44s %-24zu target 0\n", "failed answers that changed the list", lost);
  printf("  %-44s %-24zu target 0\n", "calls that took over 10 s", slowCalls);
  const Mutation slow = MakeAnswer(slowestCase);
  printf("  %-44s %lu ms (case %zu, %s, %zu bytes)\n", "slowest", slowest, slowestCase, kAnswerKinds[slow.kind],
         slow.bytes.size());
  PrintCrashesAndHangs(r, kAnswers, [](size_t i) {
    const Mutation m = MakeAnswer(i);
    return std::string(kAnswerKinds[m.kind]) + ", " + std::to_string(m.bytes.size()) + " bytes";
  });
}

// The races' server runs here in the parent, so that its threads and sockets stay out of the child's counts.
PhaseResult RunRacePhase(const std::string& phase, size_t total) {
  FaultServer server;
  if (!server.Start()) return PhaseResult();
  server.Serve("/service", ListAnswer(server, "race.bin", std::string()));
  FaultPlan file = Plain(hvtest::SampleBytes(2 * kMiB, 107));
  if (phase == "abandons") {
    file.silent = true;
    file.stallMs = kAbandonStallMs;
  }
  server.Serve("/files/race.bin", file);
  return RunPhase(phase, total, server.port());
}

// Runs the named phases (all of them when none is named) and prints each one's summary.
int RunAll(const std::vector<std::string>& only) {
  const DWORD start = GetTickCount();
  auto wanted = [&only, start](const char* phase) {
    if (!only.empty() && std::find(only.begin(), only.end(), phase) == only.end()) return false;
    printf("[%5.1f s] %s\n", (GetTickCount() - start) / 1000.0, phase);
    fflush(stdout);
    return true;
  };
  printf("torture: hvpelk.dll through its exports against the fault server; every phase in child processes\n");
  // Cuts and answers run two children side by side: much of their time is spent waiting on Wine.
  if (wanted("cuts")) ReportCuts(RunPhase("cuts", CutOffsets().size(), 0, 2));
  if (wanted("matrix")) ReportMatrix(RunPhase("matrix", MatrixCases().size()));
  if (wanted("cancels")) {
    ReportRaces("races: 1000 submit-cancel cycles over 16 handles, random delays of 0-29 ms", kCancelCycles,
                RunRacePhase("cancels", kCancelCycles));
  }
  if (wanted("closes")) {
    ReportRaces("races: 100 submit-close cycles over 16 handles, random delays of 0-29 ms", kCloseCycles,
                RunRacePhase("closes", kCloseCycles));
  }
  if (wanted("abandons")) {
    ReportRaces("races: 1000 submit-cancel cycles over 16 handles against a server that never answers", kCancelCycles,
                RunRacePhase("abandons", kCancelCycles));
  }
  if (wanted("answers")) ReportAnswers(RunPhase("answers", kAnswers, 0, 2));
  if (wanted("latency")) ReportLatency(RunPhase("latency", kLatencyRounds * kLatencyKindCount));
  if (wanted("silence")) ReportSilence(RunPhase("silence", kSilenceRounds * kSilenceKindCount));
  printf("[%5.1f s] done\n", (GetTickCount() - start) / 1000.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--killee") return RunKillee(Wide(argv[2]), Wide(argv[3]));
  if (argc == 6 && std::string(argv[1]) == "--child") {
    return RunChild(argv[2], static_cast<size_t>(std::strtoull(argv[3], nullptr, 10)),
                    static_cast<size_t>(std::strtoull(argv[4], nullptr, 10)), std::atoi(argv[5]));
  }
  return RunAll(std::vector<std::string>(argv + 1, argv + argc));
}
