// Memory blocks, the last error, the process, where DLLs come from, and user32's calls. Blocks
// are real memory, so that sanitizers see overruns.

#include "platform/in_memory_platform.h"

#include <cstring>
#include <string_view>

namespace morex::in_memory {

bool WithinBlock(const void *address, std::size_t length) {
  const auto *at = static_cast<const std::uint8_t *>(address);
  for (const auto &[handle, size] : State().blocks) {
    const auto *start = static_cast<const std::uint8_t *>(handle);
    const bool inside = at >= start && at < start + std::max<std::size_t>(size, 1);
    if (inside && static_cast<std::size_t>(at - start) + length > size) {
      ++State().overruns;
      return false;
    }
  }
  return true;
}

// The modules that the in-memory platform has: kernel32, always loaded, and user32 in System32; any
// other name is not found (126), as a misspelt one is not on Windows. Names compare without letter
// case, and ".dll" goes with a name that has no extension.
static bool IsDll(std::u16string name, std::u16string_view dll) {
  for (char16_t &c : name)
    c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  return name == dll || name + u".dll" == dll;
}
static const auto kKernel32 = reinterpret_cast<platform::Handle>(0x3200);

} // namespace morex::in_memory

using namespace morex::in_memory; // the in-memory platform's calls use its parts unqualified

namespace morex::platform {

Handle GlobalAlloc(unsigned flags, std::size_t bytes) {
  const Entered call(Call::GlobalAlloc, "", bytes);
  if (Faulted(Call::GlobalAlloc))
    return nullptr;
  auto *memory = new std::uint8_t[bytes ? bytes : 1];
  // Without GMEM_ZEROINIT the contents are garbage; make that visible.
  std::memset(memory, (flags & kGmemZeroInit) ? 0 : 0xCD, bytes ? bytes : 1);
  State().blocks[memory] = bytes;
  return Succeed<Handle>(memory);
}

Handle GlobalFree(Handle memory) {
  const Entered call(Call::GlobalFree);
  if (!State().blocks.erase(memory))
    return Fail<Handle>(kErrorInvalidHandle, memory);
  delete[] static_cast<std::uint8_t *>(memory);
  return Succeed<Handle>(nullptr);
}

void RtlMoveMemory(void *destination, const void *source, std::size_t length) {
  const Entered call(Call::RtlMoveMemory, "", length);
  if (WithinBlock(destination, length)) // an overrun is counted, not performed
    std::memmove(destination, source, length);
}

Dword GetLastError() {
  return State().lastError;
}

void SetLastError(Dword error) {
  State().lastError = error;
}

const char16_t *GetCommandLineW() {
  return State().commandLine.c_str();
}

Dword GetCurrentProcessId() {
  return 4242;
}

// It takes one or more of four: the application's, the user's and System32's directories, and
// the three together (LOAD_LIBRARY_SEARCH_DEFAULT_DIRS).
Bool SetDefaultDllDirectories(Dword directoryFlags) {
  const Entered call(Call::SetDefaultDllDirectories, "", directoryFlags);
  const bool known = directoryFlags && !(directoryFlags & ~Dword{0x200 | 0x400 | 0x800 | 0x1000});
  if (Faulted(Call::SetDefaultDllDirectories))
    return 0;
  return known ? Succeed<Bool>(1) : Fail<Bool>(kErrorInvalidParameter, 0);
}

Bool SetDllDirectoryW(const char16_t *pathName) {
  const Entered call(Call::SetDllDirectoryW, pathName ? "" : "(null)",
                     pathName ? std::char_traits<char16_t>::length(pathName) : 0);
  return Succeed<Bool>(1);
}

Bool ProcessIdToSessionId(Dword, Dword *sessionId) {
  const Entered call(Call::ProcessIdToSessionId);
  *sessionId = State().sessionId;
  return Succeed<Bool>(1);
}

Handle LoadLibraryExW(const char16_t *fileName, Handle, Dword flags) {
  const Entered call(Call::LoadLibraryExW, "", flags);
  State().calls.back().text.assign(fileName, fileName + std::u16string(fileName).size());
  if (Faulted(Call::LoadLibraryExW))
    return nullptr;
  if (!IsDll(fileName, u"user32.dll"))
    return Fail<Handle>(kErrorModNotFound, nullptr);
  State().user32Loaded = true;
  return Succeed(reinterpret_cast<Handle>(0x3232));
}

Handle GetModuleHandleW(const char16_t *moduleName) {
  const Entered call(Call::GetModuleHandleW);
  return IsDll(moduleName, u"kernel32.dll") ? Succeed(kKernel32)
                                            : Fail<Handle>(kErrorModNotFound, nullptr);
}

// Of kernel32's exports, the one that Morex asks for; a fault stands for a Windows 7 without its
// 2011 loader update, which lacks it.
Procedure GetProcAddress(Handle module, const char *procName) {
  const Entered call(Call::GetProcAddress, procName);
  const bool known = module == kKernel32 && std::string_view(procName) == "AddDllDirectory";
  if (Faulted(Call::GetProcAddress))
    return nullptr;
  return known ? Succeed<Procedure>([] {}) : Fail<Procedure>(kErrorProcNotFound, nullptr);
}

// user32's calls fail while user32 is not loaded, as they do on Windows through Morex's own
// lookup of them.
Handle GetProcessWindowStation() {
  return State().user32Loaded ? reinterpret_cast<Handle>(0x57A7) : nullptr;
}

Bool GetUserObjectInformationW(Handle object, std::int32_t index, void *information, Dword length,
                               Dword *) {
  const Entered call(Call::GetUserObjectInformationW, "", static_cast<std::uint64_t>(index));
  if (Faulted(Call::GetUserObjectInformationW))
    return 0;
  if (!object || object != GetProcessWindowStation() || index != kUoiFlags ||
      length < sizeof(UserObjectFlags))
    return Fail<Bool>(kErrorInvalidParameter, 0);
  *static_cast<UserObjectFlags *>(information) =
      UserObjectFlags{0, 0, State().stationVisible ? kWsfVisible : 0};
  return Succeed<Bool>(1);
}

std::int32_t MessageBoxW(Handle, const char16_t *text, const char16_t *caption, unsigned type) {
  const Entered call(Call::MessageBoxW);
  if (!State().user32Loaded)
    return 0;
  State().messageBoxes.push_back({text ? text : u"", caption ? caption : u"", type});
  return 1; // IDOK
}

} // namespace morex::platform
