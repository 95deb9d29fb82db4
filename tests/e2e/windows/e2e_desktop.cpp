// The desktop side of the end-to-end tests, run under Wine on an X display. Kept apart from
// e2e_tool, which must not load user32: Wine starts its desktop with the first process that
// does, and one started while the computer is still coming up gets no display driver.
//   e2e_desktop box       runs MOREX_COMMAND_LINE, expects one message box from it, reports
//                         what the box shows, presses OK and reports the end
//   e2e_desktop hidden    runs MOREX_COMMAND_LINE on a window station and desktop made
//                         without WSF_VISIBLE and reports whether it ends by itself
//   e2e_desktop probe     shows a window on the desktop and says whether it could

#include "e2e_common.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using e2e::Fail;
using e2e::StartCommandLine;

// --- The message box ----------------------------------------------------------------------

constexpr int kMessageBoxTextId = 0xFFFF; // the static control that holds the text
constexpr int kMessageBoxIconId = 0x14;   // the static control that holds the icon
constexpr DWORD kBoxWaitMs = 30000;

// The window's class name (GetClassNameW) or text (GetWindowTextW).
std::wstring Read(HWND window, int(WINAPI *read)(HWND, LPWSTR, int)) {
  wchar_t text[256] = L"";
  read(window, text, 256);
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
  if (owner == search.processId && Read(window, GetClassNameW) == L"#32770")
    search.found.push_back(window);
  return TRUE;
}

// The dialogs (class #32770) that the process shows on the given desktop (nullptr: ours, as
// EnumDesktopWindows takes it).
std::vector<HWND> DialogsOf(DWORD processId, HDESK desktop = nullptr) {
  Search search{processId, {}};
  EnumDesktopWindows(desktop, CollectDialogs, reinterpret_cast<LPARAM>(&search));
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
    if (Read(child, GetClassNameW) == L"Button" && IsWindowVisible(child))
      buttons +=
          (buttons.empty() ? L"" : L",") + std::to_wstring(id) + L":" + Read(child, GetWindowTextW);
    if (id == kMessageBoxIconId && IsWindowVisible(child))
      icon = true;
  }
  const HWND text = GetDlgItem(box, kMessageBoxTextId);
  std::printf("caption \"%ls\"\n", Read(box, GetWindowTextW).c_str());
  std::printf("text \"%ls\"\n", text ? Read(text, GetWindowTextW).c_str() : L"<none>");
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
// shows meanwhile on the given desktop (nullptr: ours).
bool AwaitEnd(const PROCESS_INFORMATION &process, HWND first, HDESK desktop, int &boxes) {
  std::vector<HWND> seen;
  for (DWORD waited = 0; waited < kBoxWaitMs; waited += 50) {
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0)
      return true;
    for (HWND dialog : DialogsOf(process.dwProcessId, desktop))
      if (dialog != first && std::find(seen.begin(), seen.end(), dialog) == seen.end())
        seen.push_back(dialog);
    boxes = static_cast<int>(seen.size());
  }
  return false;
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
  const bool ended = AwaitEnd(process, box, nullptr, moreBoxes);
  std::printf("ended by itself: %s, exit code %lu\n", ended ? "yes" : "no", e2e::Finish(process));
  std::printf("boxes after OK: %d\n", moreBoxes);
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
  const bool ended = AwaitEnd(process, nullptr, desktop, boxes);
  const DWORD took = GetTickCount() - started;
  std::printf("ended by itself: %s, exit code %lu, after %lu ms\n", ended ? "yes" : "no",
              e2e::Finish(process), took);
  std::printf("boxes seen: %d\n", boxes);
  CloseDesktop(desktop);
  CloseWindowStation(station);
  return 0;
}

// Wine decides once per process whether it has a display driver: a process that asked while
// the desktop was still starting stays without one. So this tries once, and the caller runs
// it again until a window shows.
int ShowProbeWindow() {
  HWND probe = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
  if (!probe)
    return Fail("CreateWindowExW");
  ShowWindow(probe, SW_SHOWNOACTIVATE);
  const bool shown = IsWindowVisible(probe);
  DestroyWindow(probe);
  return shown ? 0 : Fail("ShowWindow");
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"box") {
    // The control of the planted-DLL case: this tool loads both DLLs the ordinary way, by
    // name, so a plant beside it is taken. Wine 8's user32 imported version.dll and Wine 10's
    // does not; on Windows neither is what makes the plant work.
    LoadLibraryW(L"version.dll");
    LoadLibraryW(L"imm32.dll");
    return ShowBox();
  }
  if (verb == L"hidden")
    return RunHidden();
  if (verb == L"probe")
    return ShowProbeWindow();
  std::fprintf(stderr, "usage: e2e_desktop box|hidden|probe\n");
  return 1;
}
