// The Windows side of the end-to-end tests, run under Wine:
//   e2e_tool run              runs the command line in MOREX_COMMAND_LINE exactly as written
//                             (wine re-quotes its own arguments), waits for it to end and
//                             prints its exit code and peak working set
//   e2e_tool install NAME EXE registers EXE as a demand-start service NAME
//   e2e_tool state NAME       prints running, stopped, ... as the service manager reports it
//   e2e_tool start|stop NAME  moves the service there and waits until it arrives
//   e2e_tool hold             sleeps, keeping the prefix's services alive between runs
//   e2e_tool box              runs MOREX_COMMAND_LINE, expects one message box from it,
//                             reports what the box shows, presses OK and reports the end
//   e2e_tool hidden           runs MOREX_COMMAND_LINE on a window station and desktop made
//                             without WSF_VISIBLE and reports whether it ends by itself
//   e2e_tool desktop          waits until a window can be shown on the desktop (Wine starts
//                             its desktop and display driver with the first window)

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int Fail(const char *what) {
  std::fprintf(stderr, "e2e_tool: %s failed: %lu\n", what, GetLastError());
  return 2;
}

// Starts the command line in MOREX_COMMAND_LINE exactly as written, on the given desktop
// (nullptr: this process's own).
bool StartCommandLine(wchar_t *desktop, PROCESS_INFORMATION &process) {
  static wchar_t text[32768];
  const DWORD length = GetEnvironmentVariableW(L"MOREX_COMMAND_LINE", text, 32768);
  if (length == 0 || length >= 32768)
    return Fail("reading MOREX_COMMAND_LINE"), false;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  if (!CreateProcessW(nullptr, text, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process))
    return Fail("CreateProcessW"), false;
  return true;
}

int RunCommandLine() {
  PROCESS_INFORMATION process{};
  if (!StartCommandLine(nullptr, process))
    return 2;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  PROCESS_MEMORY_COUNTERS memory{};
  if (K32GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory))
    std::printf("peak working set %llu\n",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::printf("exit code %lu\n", exitCode);
  return 0;
}

const wchar_t *StateName(DWORD state) {
  switch (state) {
  case SERVICE_STOPPED:
    return L"stopped";
  case SERVICE_START_PENDING:
    return L"start-pending";
  case SERVICE_STOP_PENDING:
    return L"stop-pending";
  case SERVICE_RUNNING:
    return L"running";
  default:
    return L"other";
  }
}

int WithService(const wchar_t *name, DWORD access, int (*action)(SC_HANDLE)) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager)
    return Fail("OpenSCManagerW");
  SC_HANDLE service = OpenServiceW(manager, name, access);
  const int result = service ? action(service) : Fail("OpenServiceW");
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

int Install(const wchar_t *name, const wchar_t *exe) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager)
    return Fail("OpenSCManagerW");
  SC_HANDLE service = CreateServiceW(
      manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, exe, nullptr, nullptr, nullptr, nullptr, nullptr);
  const int result = service || GetLastError() == ERROR_SERVICE_EXISTS ? 0 : Fail("CreateService");
  if (service)
    CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

// --- The message box ----------------------------------------------------------------------

constexpr int kMessageBoxTextId = 0xFFFF; // the static control that holds the text
constexpr int kMessageBoxIconId = 0x14;   // the static control that holds the icon
constexpr DWORD kBoxWaitMs = 30000;

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  wchar_t text[256] = L"";
  GetWindowTextW(window, text, 256);
  return text;
}

struct Search {
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM context) {
  auto &search = *reinterpret_cast<Search *>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search.processId && ClassOf(window) == L"#32770")
    search.found.push_back(window);
  return TRUE;
}

// The dialogs (class #32770) that the process shows on the given desktop (nullptr: ours).
std::vector<HWND> DialogsOf(DWORD processId, HDESK desktop = nullptr) {
  Search search{processId, {}};
  if (desktop)
    EnumDesktopWindows(desktop, CollectDialogs, reinterpret_cast<LPARAM>(&search));
  else
    EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<HWND> *>(context)->push_back(window);
  return TRUE;
}

void ReportBox(HWND box) {
  std::vector<HWND> children;
  EnumChildWindows(box, CollectChildren, reinterpret_cast<LPARAM>(&children));
  std::wstring buttons;
  bool icon = false;
  for (HWND child : children) {
    const int id = GetDlgCtrlID(child);
    if (ClassOf(child) == L"Button" && IsWindowVisible(child))
      buttons += (buttons.empty() ? L"" : L",") + std::to_wstring(id) + L":" + TextOf(child);
    if (id == kMessageBoxIconId && IsWindowVisible(child))
      icon = true;
  }
  const HWND text = GetDlgItem(box, kMessageBoxTextId);
  std::printf("caption \"%ls\"\n", TextOf(box).c_str());
  std::printf("text \"%ls\"\n", text ? TextOf(text).c_str() : L"<none>");
  std::printf("buttons %ls\n", buttons.c_str());
  std::printf("icon %s\n", icon ? "yes" : "none");
}

// Waits for the process to show its first dialog; nullptr when it ended or the time ran out.
// A dialog is made hidden, filled in and only then shown: it counts once it is visible.
HWND AwaitBox(const PROCESS_INFORMATION &process) {
  for (DWORD waited = 0; waited < kBoxWaitMs; waited += 50) {
    const std::vector<HWND> dialogs = DialogsOf(process.dwProcessId);
    if (!dialogs.empty() && IsWindowVisible(dialogs.front()))
      return dialogs.front();
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0)
      return nullptr;
  }
  return nullptr;
}

// Waits for the process to end on its own, counting the boxes other than `first` that it
// shows meanwhile.
bool AwaitEnd(const PROCESS_INFORMATION &process, HWND first, int &moreBoxes) {
  std::vector<HWND> seen;
  for (DWORD waited = 0; waited < kBoxWaitMs; waited += 50) {
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0)
      return true;
    for (HWND dialog : DialogsOf(process.dwProcessId))
      if (dialog != first && std::find(seen.begin(), seen.end(), dialog) == seen.end())
        seen.push_back(dialog);
    moreBoxes = static_cast<int>(seen.size());
  }
  return false;
}

DWORD ExitCodeOf(HANDLE process) {
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

int ShowBox() {
  PROCESS_INFORMATION process{};
  if (!StartCommandLine(nullptr, process))
    return 2;
  const HWND box = AwaitBox(process);
  if (!box) {
    std::printf("no box within %lu ms\n", kBoxWaitMs);
    TerminateProcess(process.hProcess, 1);
    return 4;
  }
  std::printf("boxes %zu\n", DialogsOf(process.dwProcessId).size());
  ReportBox(box);
  Sleep(500); // the run waits for the user: it must still be there
  std::printf("running while the box is up: %s\n",
              WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT ? "yes" : "no");
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  std::printf("pressed OK\n");
  int moreBoxes = 0;
  const bool ended = AwaitEnd(process, box, moreBoxes);
  std::printf("ended by itself: %s, exit code %lu\n", ended ? "yes" : "no",
              ExitCodeOf(process.hProcess));
  std::printf("boxes after OK: %d\n", moreBoxes);
  if (!ended)
    TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

// A window station and desktop made without WSF_VISIBLE: what a scheduled task that runs
// whether or not a user is logged on gets. A box shown there would wait forever.
int RunHidden() {
  HWINSTA own = GetProcessWindowStation();
  HWINSTA station = CreateWindowStationW(L"MorexHidden", 0, WINSTA_ALL_ACCESS, nullptr);
  if (!station)
    return Fail("CreateWindowStationW");
  USEROBJECTFLAGS flags{};
  GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr);
  std::printf("station visible: %s\n", (flags.dwFlags & WSF_VISIBLE) ? "yes" : "no");
  SetProcessWindowStation(station);
  HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  if (!desktop)
    return Fail("CreateDesktopW");
  wchar_t where[] = L"MorexHidden\\Default";
  PROCESS_INFORMATION process{};
  if (!StartCommandLine(where, process))
    return 2;
  int boxes = 0;
  const DWORD started = GetTickCount();
  bool ended = false;
  for (DWORD waited = 0; !ended && waited < kBoxWaitMs; waited += 50) {
    ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
    if (!DialogsOf(process.dwProcessId, desktop).empty())
      ++boxes;
  }
  std::printf("ended by itself: %s, exit code %lu, after %lu ms\n", ended ? "yes" : "no",
              ExitCodeOf(process.hProcess), GetTickCount() - started);
  std::printf("boxes seen: %d\n", boxes);
  if (!ended)
    TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseDesktop(desktop);
  CloseWindowStation(station);
  return 0;
}

int AwaitDesktop() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    HWND probe = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    if (probe) {
      ShowWindow(probe, SW_SHOWNOACTIVATE);
      const bool shown = IsWindowVisible(probe);
      DestroyWindow(probe);
      if (shown)
        return 0;
    }
    Sleep(100);
  }
  return Fail("showing a window on the desktop");
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"run")
    return RunCommandLine();
  if (verb == L"box")
    return ShowBox();
  if (verb == L"hidden")
    return RunHidden();
  if (verb == L"desktop")
    return AwaitDesktop();
  if (verb == L"hold") {
    Sleep(INFINITE);
    return 0;
  }
  if (verb == L"install" && argc == 4)
    return Install(argv[2], argv[3]);
  if (argc == 3 && verb == L"state")
    return WithService(argv[2], SERVICE_QUERY_STATUS, PrintState);
  if (argc == 3 && verb == L"start")
    return WithService(argv[2], SERVICE_START | SERVICE_QUERY_STATUS, StartAndWait);
  if (argc == 3 && verb == L"stop")
    return WithService(argv[2], SERVICE_STOP | SERVICE_QUERY_STATUS, StopAndWait);
  std::fprintf(
      stderr,
      "usage: e2e_tool run|box|hidden|desktop|hold|install NAME EXE|state|start|stop NAME\n");
  return 1;
}
