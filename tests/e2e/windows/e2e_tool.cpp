// The Windows side of the end-to-end tests, under Wine or on Windows itself:
//   e2e_tool run              runs the command line in MOREX_COMMAND_LINE exactly as written
//                             (wine re-quotes its own arguments), waits for it to end (a
//                             minute at most, then ends it) and prints its exit code and
//                             peak working set
//   e2e_tool install NAME EXE registers EXE as a demand-start service NAME
//   e2e_tool state NAME       prints running, stopped, ... as the service manager reports it
//   e2e_tool start|stop NAME  moves the service there and waits until it arrives
//   e2e_tool hold             sleeps, keeping the prefix's services alive between runs
//   e2e_tool render ID        what Event Viewer shows for an entry of the source Morex with
//                             that event ID and the insertion string in MOREX_RENDER_TEXT: the
//                             file named by the source's EventMessageFile, loaded as data and
//                             formatted with the string; prints the file's path, a line break
//                             and the text, both in UTF-8
//   e2e_tool limit            the longest entry of Morex's shape (one ANSI string, and its
//                             bytes with the terminator as the data) that the Application log
//                             takes under a throwaway source, found by bisection: for text of
//                             one single-byte character and, where the ANSI code page has
//                             them, of one double-byte character; writes the entries it tries
//                             and says how many the log took, each at most a record's bytes

#include "e2e_common.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using e2e::Fail;
using e2e::StartCommandLine;

// Far longer than a run takes: a run that goes on waits for something, as a message box
// waits for a click that nobody gives.
constexpr DWORD kRunEndsMs = 20000;

// user32, loaded once and only when needed: a run that ends by itself must not load it. It
// stays loaded for the little that is left of the tool's life.
HMODULE User32() {
  static const HMODULE user32 = LoadLibraryW(L"user32.dll");
  return user32;
}

template <typename Function> Function FromUser32(const char *name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(User32(), name)));
}

struct BoxSearch {
  DWORD processId;
  HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
  auto &search = *reinterpret_cast<BoxSearch *>(context);
  DWORD owner = 0;
  wchar_t name[16] = L"";
  FromUser32<decltype(&GetWindowThreadProcessId)>("GetWindowThreadProcessId")(window, &owner);
  FromUser32<decltype(&GetClassNameW)>("GetClassNameW")(window, name, 16);
  if (owner != search.processId || std::wstring(name) != L"#32770")
    return TRUE;
  search.box = window;
  return FALSE;
}

// Says what keeps the run going: its message box and the box's text, where it shows one.
void ReportWhatHoldsTheRun(const PROCESS_INFORMATION &process) {
  BoxSearch search{process.dwProcessId, nullptr};
  FromUser32<decltype(&EnumWindows)>("EnumWindows")(FindBox, reinterpret_cast<LPARAM>(&search));
  wchar_t text[256] = L"";
  if (search.box)
    FromUser32<decltype(&GetDlgItemTextW)>("GetDlgItemTextW")(search.box, 0xFFFF, text, 256);
  std::printf("%s%ls%s after %lu ms, ended by the tool\n",
              search.box ? "a message box \"" : "still running", text, search.box ? "\" up" : "",
              kRunEndsMs);
}

int RunCommandLine() {
  PROCESS_INFORMATION process{};
  if (!StartCommandLine(nullptr, process))
    return 2;
  if (WaitForSingleObject(process.hProcess, kRunEndsMs) == WAIT_TIMEOUT)
    ReportWhatHoldsTheRun(process);
  PROCESS_MEMORY_COUNTERS memory{};
  if (K32GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory))
    std::printf("peak working set %llu\n",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize));
  std::printf("exit code %lu\n", e2e::Finish(process));
  return 0;
}

// Nothing more to do with a service once it is registered.
int Registered(SC_HANDLE) {
  return 0;
}

// SERVICE_STOPPED (1) to SERVICE_RUNNING (4); any other state, or none, is "other".
const wchar_t *StateName(DWORD state) {
  const wchar_t *names[] = {L"other", L"stopped", L"start-pending", L"stop-pending", L"running"};
  return names[state <= SERVICE_RUNNING ? state : 0];
}

// Runs `action` on the service; with `exe`, registers it first as a demand-start service of
// that executable, unless it is registered already.
int WithService(const wchar_t *name, DWORD access, int (*action)(SC_HANDLE),
                const wchar_t *exe = nullptr) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager)
    return Fail("OpenSCManagerW");
  SC_HANDLE service = exe ? CreateServiceW(manager, name, name, access, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, exe, nullptr,
                                           nullptr, nullptr, nullptr, nullptr)
                          : nullptr;
  if (!service && (!exe || GetLastError() == ERROR_SERVICE_EXISTS))
    service = OpenServiceW(manager, name, access);
  const int result = service ? action(service) : Fail(exe ? "CreateServiceW" : "OpenServiceW");
  if (service)
    CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

DWORD CurrentState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

int WaitFor(SC_HANDLE service, DWORD wanted) {
  for (int i = 0; i < 200; ++i) {
    if (CurrentState(service) == wanted)
      return 0;
    Sleep(50);
  }
  std::fprintf(stderr, "e2e_tool: service did not reach state %lu\n", wanted);
  return 3;
}

int PrintState(SC_HANDLE service) {
  std::printf("%ls\n", StateName(CurrentState(service)));
  return 0;
}

int StartAndWait(SC_HANDLE service) {
  if (CurrentState(service) != SERVICE_RUNNING && !StartServiceW(service, 0, nullptr))
    return Fail("StartServiceW");
  return WaitFor(service, SERVICE_RUNNING);
}

int StopAndWait(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (CurrentState(service) == SERVICE_RUNNING &&
      !ControlService(service, SERVICE_CONTROL_STOP, &status))
    return Fail("ControlService");
  return WaitFor(service, SERVICE_STOPPED);
}

void PrintUtf8(const wchar_t *text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(length, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), length, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size() - 1, stdout);
}

int Render(const wchar_t *eventId) {
  HKEY source = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Morex", 0,
                    KEY_QUERY_VALUE, &source) != ERROR_SUCCESS)
    return Fail("RegOpenKeyExW");
  wchar_t file[MAX_PATH] = L"", path[MAX_PATH] = L"";
  DWORD size = sizeof file - sizeof(wchar_t);
  const LSTATUS read = RegQueryValueExW(source, L"EventMessageFile", nullptr, nullptr,
                                        reinterpret_cast<BYTE *>(file), &size);
  RegCloseKey(source);
  if (read != ERROR_SUCCESS || !ExpandEnvironmentStringsW(file, path, MAX_PATH))
    return Fail("EventMessageFile");
  const HMODULE messages = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!messages)
    return Fail("LoadLibraryExW");
  static wchar_t text[32768];
  GetEnvironmentVariableW(L"MOREX_RENDER_TEXT", text, 32768);
  const DWORD_PTR insertions[] = {reinterpret_cast<DWORD_PTR>(text)};
  wchar_t *shown = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      messages, std::wcstoul(eventId, nullptr, 10), 0, reinterpret_cast<wchar_t *>(&shown), 0,
      reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(insertions)));
  FreeLibrary(messages);
  if (!length)
    return Fail("FormatMessageW");
  _setmode(_fileno(stdout), _O_BINARY);
  PrintUtf8(path);
  PrintUtf8(L"\n");
  PrintUtf8(shown);
  LocalFree(shown);
  return 0;
}

// Longer than any record Windows takes (64 KiB) in either kind: the bisection's upper end.
constexpr int kProbeCap = 32000;

// Whether the log takes an entry of Morex's shape whose text is `count` times `unit`.
bool Takes(HANDLE log, const std::string &unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += unit;
  const char *strings[] = {text.c_str()};
  return ReportEventA(log, EVENTLOG_INFORMATION_TYPE, 0, 100, nullptr, 1,
                      static_cast<DWORD>(text.size() + 1), strings, text.data());
}

// Prints the longest count of `unit` taken (up to the cap), the record it makes (its string
// in UTF-16 and its data, with their terminators) and the error that refused one more.
void ReportLongest(HANDLE log, const char *kind, const std::string &unit, unsigned character) {
  int taken = 0, refused = kProbeCap + 1, written = 0;
  DWORD refusal = 0;
  while (refused - taken > 1) {
    const int middle = taken + (refused - taken) / 2;
    if (Takes(log, unit, middle)) {
      taken = middle;
      ++written;
    } else {
      refused = middle;
      refusal = GetLastError();
    }
  }
  const int record = 2 * (taken + 1) + taken * static_cast<int>(unit.size()) + 1;
  std::printf("%s U+%04X taken %d record %d refused-with %lu wrote %d records\n", kind, character,
              taken, record, refusal, written);
}

// U+3042 where the ANSI code page has it as one double-byte character, else "".
std::string DoubleByteUnit() {
  char bytes[4];
  BOOL defaulted = FALSE;
  const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, L"\u3042", 1, bytes,
                                         sizeof bytes, nullptr, &defaulted);
  return length == 2 && !defaulted ? std::string(bytes, 2) : "";
}

int ProbeLimits() {
  const HANDLE log = RegisterEventSourceW(nullptr, L"MorexLimitProbe");
  if (!log)
    return Fail("RegisterEventSourceW");
  ReportLongest(log, "single-byte", "x", 'x');
  if (const std::string unit = DoubleByteUnit(); !unit.empty())
    ReportLongest(log, "double-byte", unit, 0x3042);
  DeregisterEventSource(log);
  return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"run")
    return RunCommandLine();
  if (verb == L"limit")
    return ProbeLimits();
  if (verb == L"hold") {
    Sleep(INFINITE);
    return 0;
  }
  if (verb == L"install" && argc == 4)
    return WithService(argv[2], SERVICE_ALL_ACCESS, Registered, argv[3]);
  if (argc == 3 && verb == L"render")
    return Render(argv[2]);
  if (argc == 3 && verb == L"state")
    return WithService(argv[2], SERVICE_QUERY_STATUS, PrintState);
  if (argc == 3 && verb == L"start")
    return WithService(argv[2], SERVICE_START | SERVICE_QUERY_STATUS, StartAndWait);
  if (argc == 3 && verb == L"stop")
    return WithService(argv[2], SERVICE_STOP | SERVICE_QUERY_STATUS, StopAndWait);
  std::fprintf(stderr,
               "usage: e2e_tool run|hold|limit|install NAME EXE|state|start|stop NAME|render ID\n");
  return 1;
}
