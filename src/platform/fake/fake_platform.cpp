// In-memory stand-in for the Win32 calls of platform.h. Every call is recorded; handles are
// tracked until closed; blocks are real memory so that sanitizers see overruns. Successful
// calls set the last error to 0 (Windows leaves it undefined then), so code that reads the
// error late, after another call, sees the wrong value in tests.

#include "platform/fake/fake_platform.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace morex::fake {
namespace {

int platformDepth = 0;

// Marks the extent of one platform call. Win32 calls never throw; tests that make the
// program's own allocations fail leave the stand-in's bookkeeping alone.
struct Scope {
  Scope() noexcept { ++platformDepth; }
  ~Scope() { --platformDepth; }
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;
};

World &TheWorld() {
  static World world;
  return world;
}

std::string OrNull(const char *text) {
  return text ? std::string(text) : std::string("<null>");
}

std::string Lower(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return text;
}

void Record(Call call, std::string text = {}, std::uint64_t number = 0) {
  TheWorld().calls.push_back(CallRecord{call, std::move(text), number});
}

// The last error of the call being made, also kept in its record.
void SetLastError(platform::Dword error) {
  World &w = TheWorld();
  w.lastError = error;
  if (!w.calls.empty())
    w.calls.back().error = error;
}

// True when the fault plan makes this call fail now; sets the last error then.
bool Faulted(Call call) {
  World &w = TheWorld();
  const auto found = w.faults.find(call);
  if (found == w.faults.end())
    return false;
  Fault &fault = found->second;
  if (fault.skip > 0) {
    --fault.skip;
    return false;
  }
  if (fault.times == 0)
    return false;
  if (fault.times > 0)
    --fault.times;
  SetLastError(fault.error);
  return true;
}

template <typename T> T Fail(platform::Dword error, T result) {
  SetLastError(error);
  return result;
}

template <typename T> T Succeed(T result) {
  SetLastError(0);
  return result;
}

platform::Handle NewHandle() {
  return reinterpret_cast<platform::Handle>(TheWorld().nextHandle++);
}

// The block that holds [address, address + length), if any; counts an overrun when the range
// starts in a block but runs past its end.
bool CheckBlockRange(const void *address, std::size_t length) {
  World &w = TheWorld();
  const auto *at = static_cast<const std::uint8_t *>(address);
  for (const auto &[handle, size] : w.blocks) {
    const auto *start = static_cast<const std::uint8_t *>(handle);
    if (at >= start && at < start + std::max<std::size_t>(size, 1)) {
      if (static_cast<std::size_t>(at - start) + length > size) {
        ++w.overruns;
        return false;
      }
      return true;
    }
  }
  return true;
}

// The iconv names of the code pages the stand-in models. glibc has them whole; Windows' own
// tables differ only where the functions below say so.
const char *IconvName(unsigned codePage) {
  static const std::map<unsigned, const char *> names = {
      {932, "CP932"}, {936, "CP936"}, {1251, "CP1251"}, {1252, "CP1252"}, {65001, "UTF-8"}};
  if (const auto found = names.find(codePage); found != names.end())
    return found->second;
  std::fprintf(stderr, "fake platform: code page %u is not modelled\n", codePage);
  std::abort();
}

// The converted bytes, or nothing when iconv can't convert all of them.
std::string Iconv(const char *to, const char *from, const std::string &input) {
  const iconv_t converter = iconv_open(to, from);
  std::string output(input.size() * 2 + 8, '\0');
  char *in = const_cast<char *>(input.data()), *out = output.data();
  std::size_t inLeft = input.size(), outLeft = output.size();
  const bool converted = iconv(converter, &in, &inLeft, &out, &outLeft) != std::size_t(-1);
  iconv_close(converter);
  return converted ? output.substr(0, output.size() - outLeft) : std::string();
}

std::string Utf16Bytes(const std::u16string &units) { // the host is little-endian
  return std::string(reinterpret_cast<const char *>(units.data()), units.size() * 2);
}

// The bytes of the characters, or nothing when the code page lacks one of them. Without best
// fit only round-trip mappings count, as in Windows' tables; iconv's one-way mappings (U+00A5
// to 0x5C in 932) stand in for Windows' best fit.
std::string EncodeCharacters(unsigned codePage, const std::u16string &characters, bool bestFit) {
  if (std::all_of(characters.begin(), characters.end(), [](char16_t c) { return c < 0x80; }))
    return std::string(characters.begin(), characters.end()); // every code page keeps ASCII
  const char16_t c = characters[0];
  if (codePage == 1252 && characters.size() == 1 &&
      (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D))
    return std::string(1, static_cast<char>(c)); // Windows keeps the five unassigned bytes
  const std::string utf16 = Utf16Bytes(characters);
  const std::string bytes = Iconv(IconvName(codePage), "UTF-16LE", utf16);
  if (bytes.empty() || bestFit)
    return bytes;
  return Iconv("UTF-16LE", IconvName(codePage), bytes) == utf16 ? bytes : std::string();
}

// Windows' best fit maps a full-width ASCII look-alike to the ASCII character itself.
char16_t BestFit(char16_t c) {
  return c >= 0xFF01 && c <= 0xFF5E ? static_cast<char16_t>(c - 0xFF01 + 0x21) : c;
}

bool IsSurrogatePair(const std::u16string &text, std::size_t at) {
  return text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < text.size() &&
         text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF;
}

// The number of characters that a converted name has again as UTF-16, as the service manager
// counts them.
std::size_t DecodedLength(unsigned codePage, const std::string &bytes) {
  return Iconv("UTF-16LE", IconvName(codePage), bytes).size() / 2;
}

// EncodeCharacters for one code unit, remembered: the fuzzer converts long texts of one
// character many times over.
const std::string &EncodeUnit(unsigned codePage, char16_t unit, bool bestFit) {
  static std::map<std::tuple<unsigned, char16_t, bool>, std::string> known;
  const auto [found, added] = known.try_emplace({codePage, unit, bestFit});
  if (added)
    found->second = EncodeCharacters(codePage, std::u16string(1, unit), bestFit);
  return found->second;
}

// The bytes of a text in the code page, as WideCharToMultiByte gives them.
std::string EncodeForCodePage(unsigned codePage, const std::u16string &text, bool bestFit,
                              bool *usedDefault) {
  if (std::string whole = EncodeCharacters(codePage, text, bestFit); !whole.empty())
    return whole; // no character needs a look at its own
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    // UTF-8 takes a surrogate pair as one character; the other code pages see two units.
    const bool pair = codePage == 65001 && IsSurrogatePair(text, at);
    std::string bytes = pair ? EncodeCharacters(codePage, text.substr(at++, 2), bestFit)
                             : EncodeUnit(codePage, text[at], bestFit);
    if (bytes.empty() && bestFit)
      bytes = EncodeUnit(codePage, BestFit(text[at]), bestFit);
    if (!bytes.empty()) {
      out += bytes;
    } else if (codePage == 65001) {
      out += "\xEF\xBF\xBD"; // a lone surrogate becomes U+FFFD
    } else {
      out += '?';
      if (usedDefault)
        *usedDefault = true;
    }
  }
  return out;
}

} // namespace

int World::CountCalls(Call call) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                        [&](const CallRecord &r) { return r.call == call; }));
}

const CallRecord *World::FindCall(Call call) const {
  const auto found =
      std::find_if(calls.begin(), calls.end(), [&](const CallRecord &r) { return r.call == call; });
  return found == calls.end() ? nullptr : &*found;
}

Service *World::FindService(const std::string &name) {
  for (auto &[serviceName, service] : services)
    if (Lower(serviceName) == Lower(name))
      return &service;
  return nullptr;
}

World &State() {
  return TheWorld();
}

bool InsidePlatformCall() {
  return platformDepth > 0;
}

void Reset() {
  World &w = TheWorld();
  for (auto &[handle, size] : w.blocks)
    delete[] static_cast<std::uint8_t *>(handle);
  w = World();
}

} // namespace morex::fake

namespace morex::platform {

using fake::Call;
using fake::Fail;
using fake::Faulted;
using fake::Record;
using fake::Succeed;
using fake::TheWorld;

Handle OpenSCManagerA(const char *machineName, const char *databaseName, Dword desiredAccess) {
  const fake::Scope scope;
  Record(Call::OpenSCManagerA, fake::OrNull(machineName) + "|" + fake::OrNull(databaseName),
         desiredAccess);
  if (Faulted(Call::OpenSCManagerA))
    return nullptr;
  const Handle manager = fake::NewHandle();
  TheWorld().openManagers.insert(manager);
  return Succeed(manager);
}

Handle OpenServiceA(Handle manager, const char *serviceName, Dword desiredAccess) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::OpenServiceA, fake::OrNull(serviceName), desiredAccess);
  if (!w.openManagers.count(manager))
    return Fail<Handle>(kErrorInvalidHandle, nullptr);
  if (Faulted(Call::OpenServiceA))
    return nullptr;
  // Names are at most 256 characters and never hold a slash or a backslash.
  if (!serviceName || !*serviceName || std::strpbrk(serviceName, "/\\") ||
      fake::DecodedLength(w.codePage, serviceName) > 256)
    return Fail<Handle>(kErrorInvalidName, nullptr);
  const fake::Service *service = w.FindService(serviceName);
  if (!service)
    return Fail<Handle>(kErrorServiceDoesNotExist, nullptr);
  if (desiredAccess & ~service->grantedAccess)
    return Fail<Handle>(kErrorAccessDenied, nullptr);
  const Handle handle = fake::NewHandle();
  w.openServices[handle] = {serviceName, desiredAccess};
  return Succeed(handle);
}

Bool StartServiceA(Handle service, Dword argumentCount, const char **arguments) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::StartServiceA, arguments ? "<arguments>" : "<null>", argumentCount);
  const auto open = w.openServices.find(service);
  if (open == w.openServices.end())
    return Fail<Bool>(kErrorInvalidHandle, 0);
  if (!(open->second.second & kServiceStart))
    return Fail<Bool>(kErrorAccessDenied, 0);
  if (Faulted(Call::StartServiceA))
    return 0;
  fake::Service *target = w.FindService(open->second.first);
  if (!target)
    return Fail<Bool>(kErrorServiceDoesNotExist, 0);
  if (target->state == fake::ServiceState::Running)
    return Fail<Bool>(kErrorServiceAlreadyRunning, 0);
  target->state = fake::ServiceState::Running;
  return Succeed<Bool>(1);
}

Bool ControlService(Handle service, Dword control, ServiceStatus *status) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  const bool zeroed = status && status->serviceType == 0 && status->currentState == 0 &&
                      status->controlsAccepted == 0 && status->win32ExitCode == 0 &&
                      status->serviceSpecificExitCode == 0 && status->checkPoint == 0 &&
                      status->waitHint == 0;
  Record(Call::ControlService, zeroed ? "zeroed" : "not zeroed", control);
  const auto open = w.openServices.find(service);
  if (open == w.openServices.end())
    return Fail<Bool>(kErrorInvalidHandle, 0);
  if (!status)
    return Fail<Bool>(kErrorInvalidParameter, 0);
  if (control != kServiceControlStop)
    return Fail<Bool>(kErrorInvalidServiceControl, 0);
  if (!(open->second.second & kServiceStop))
    return Fail<Bool>(kErrorAccessDenied, 0);
  if (Faulted(Call::ControlService))
    return 0;
  fake::Service *target = w.FindService(open->second.first);
  if (!target)
    return Fail<Bool>(kErrorServiceDoesNotExist, 0);
  if (target->state != fake::ServiceState::Running)
    return Fail<Bool>(kErrorServiceNotActive, 0);
  if (!target->acceptsStop)
    return Fail<Bool>(kErrorInvalidServiceControl, 0);
  target->state = fake::ServiceState::Stopped;
  *status = ServiceStatus{0x10, 3 /* SERVICE_STOP_PENDING */, 0, 0, 0, 0, 0};
  return Succeed<Bool>(1);
}

Bool CloseServiceHandle(Handle handle) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::CloseServiceHandle);
  if (Faulted(Call::CloseServiceHandle))
    return 0;
  if (w.openManagers.erase(handle) || w.openServices.erase(handle))
    return Succeed<Bool>(1);
  return Fail<Bool>(kErrorInvalidHandle, 0);
}

Handle RegisterEventSourceA(const char *uncServerName, const char *sourceName) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::RegisterEventSourceA, fake::OrNull(uncServerName) + "|" + fake::OrNull(sourceName));
  if (Faulted(Call::RegisterEventSourceA))
    return nullptr;
  if (!sourceName)
    return Fail<Handle>(kErrorInvalidParameter, nullptr);
  const Handle handle = fake::NewHandle();
  w.openEventSources[handle] = {fake::OrNull(uncServerName), sourceName};
  ++w.registrations;
  return Succeed(handle);
}

Bool ReportEventA(Handle eventLog, Word type, Word category, Dword eventId, void *userSid,
                  Word numStrings, Dword dataSize, const char **strings, void *rawData) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::ReportEventA, {}, eventId);
  const auto source = w.openEventSources.find(eventLog);
  if (source == w.openEventSources.end())
    return Fail<Bool>(kErrorInvalidHandle, 0);
  if ((numStrings && !strings) || (dataSize && !rawData))
    return Fail<Bool>(kErrorInvalidParameter, 0);
  if (dataSize && !fake::CheckBlockRange(rawData, dataSize))
    return Fail<Bool>(kErrorInvalidParameter, 0);
  // Windows' limits: 61,440 bytes of data, 31,839 characters in each string.
  if (dataSize > fake::kMaxEventDataBytes)
    return Fail<Bool>(kRpcSInvalidBound, 0);
  for (Word i = 0; i < numStrings; ++i)
    if (strings[i] && fake::DecodedLength(w.codePage, strings[i]) > fake::kMaxEventStringCharacters)
      return Fail<Bool>(kErrorInvalidParameter, 0);
  if (Faulted(Call::ReportEventA))
    return 0;
  fake::EventEntry entry{source->second.first,
                         source->second.second,
                         type,
                         category,
                         eventId,
                         userSid != nullptr,
                         {},
                         {}};
  for (Word i = 0; i < numStrings; ++i)
    entry.strings.emplace_back(strings[i] ? strings[i] : "");
  const auto *bytes = static_cast<const std::uint8_t *>(rawData);
  entry.data.assign(bytes, bytes + dataSize);
  w.entries.push_back(std::move(entry));
  return Succeed<Bool>(1);
}

Bool DeregisterEventSource(Handle eventLog) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::DeregisterEventSource);
  if (!w.openEventSources.erase(eventLog))
    return Fail<Bool>(kErrorInvalidHandle, 0);
  ++w.deregistrations;
  return Succeed<Bool>(1);
}

Handle GlobalAlloc(unsigned flags, std::size_t bytes) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::GlobalAlloc, {}, bytes);
  if (Faulted(Call::GlobalAlloc))
    return nullptr;
  auto *memory = new std::uint8_t[bytes ? bytes : 1];
  // Without GMEM_ZEROINIT the contents are garbage; make that visible.
  std::memset(memory, (flags & kGmemZeroInit) ? 0 : 0xCD, bytes ? bytes : 1);
  w.blocks[memory] = bytes;
  return Succeed<Handle>(memory);
}

Handle GlobalFree(Handle memory) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::GlobalFree);
  const auto block = w.blocks.find(memory);
  if (block == w.blocks.end())
    return Fail<Handle>(kErrorInvalidHandle, memory);
  delete[] static_cast<std::uint8_t *>(memory);
  w.blocks.erase(block);
  return Succeed<Handle>(nullptr);
}

void RtlMoveMemory(void *destination, const void *source, std::size_t length) {
  const fake::Scope scope;
  Record(Call::RtlMoveMemory, {}, length);
  if (!fake::CheckBlockRange(destination, length))
    return; // an overrun is counted, not performed
  std::memmove(destination, source, length);
}

Dword GetLastError() {
  const fake::Scope scope;
  return TheWorld().lastError;
}

std::int32_t WideCharToMultiByte(unsigned codePage, Dword flags, const char16_t *wide,
                                 std::int32_t wideLength, char *multiByte,
                                 std::int32_t multiByteLength, const char *defaultChar,
                                 Bool *usedDefaultChar) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::WideCharToMultiByte, {}, flags);
  if (Faulted(Call::WideCharToMultiByte))
    return 0;
  const unsigned effective = codePage == kCpAcp ? w.codePage : codePage;
  if (effective == 65001 && flags != 0)
    return Fail<std::int32_t>(kErrorInvalidFlags, 0);
  if (!wide || wideLength == 0 || wideLength < -1 || multiByteLength < 0 || defaultChar)
    return Fail<std::int32_t>(kErrorInvalidParameter, 0);
  const std::u16string text =
      wideLength == -1 ? std::u16string(wide) + u'\0' : std::u16string(wide, wideLength);
  bool usedDefault = false;
  const std::string bytes =
      fake::EncodeForCodePage(effective, text, !(flags & kWcNoBestFitChars), &usedDefault);
  if (usedDefaultChar)
    *usedDefaultChar = usedDefault;
  const auto length = static_cast<std::int32_t>(bytes.size());
  if (multiByteLength == 0)
    return Succeed(length);
  if (multiByteLength < length)
    return Fail<std::int32_t>(kErrorInsufficientBuffer, 0);
  std::memcpy(multiByte, bytes.data(), bytes.size());
  return Succeed(length);
}

const char16_t *GetCommandLineW() {
  return TheWorld().commandLine.c_str();
}

Dword GetCurrentProcessId() {
  return 4242;
}

Bool SetDefaultDllDirectories(Dword directoryFlags) {
  const fake::Scope scope;
  Record(Call::SetDefaultDllDirectories, {}, directoryFlags);
  return Faulted(Call::SetDefaultDllDirectories) ? 0 : Succeed<Bool>(1);
}

Bool SetDllDirectoryW(const char16_t *pathName) {
  const fake::Scope scope;
  Record(Call::SetDllDirectoryW, pathName ? "" : "(null)",
         pathName ? std::u16string(pathName).size() : 0);
  return Succeed<Bool>(1);
}

Bool ProcessIdToSessionId(Dword, Dword *sessionId) {
  const fake::Scope scope;
  Record(Call::ProcessIdToSessionId);
  *sessionId = TheWorld().sessionId;
  return Succeed<Bool>(1);
}

Handle LoadLibraryExW(const char16_t *fileName, Handle, Dword flags) {
  const fake::Scope scope;
  Record(Call::LoadLibraryExW, std::string(fileName, fileName + std::u16string(fileName).size()),
         flags);
  if (Faulted(Call::LoadLibraryExW))
    return nullptr;
  TheWorld().user32Loaded = true;
  return Succeed(reinterpret_cast<Handle>(0x3232));
}

Handle GetProcessWindowStation() {
  return TheWorld().user32Loaded ? reinterpret_cast<Handle>(0x57A7) : nullptr;
}

Bool GetUserObjectInformationW(Handle object, std::int32_t index, void *information, Dword length,
                               Dword *) {
  const fake::Scope scope;
  Record(Call::GetUserObjectInformationW, {}, static_cast<std::uint64_t>(index));
  if (Faulted(Call::GetUserObjectInformationW))
    return 0;
  if (!object || object != GetProcessWindowStation() || index != kUoiFlags ||
      length < sizeof(UserObjectFlags))
    return Fail<Bool>(kErrorInvalidParameter, 0);
  *static_cast<UserObjectFlags *>(information) =
      UserObjectFlags{0, 0, TheWorld().stationVisible ? kWsfVisible : 0};
  return Succeed<Bool>(1);
}

std::int32_t MessageBoxW(Handle, const char16_t *text, const char16_t *caption, unsigned type) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::MessageBoxW);
  if (!w.user32Loaded)
    return 0;
  w.messageBoxes.push_back({text ? text : u"", caption ? caption : u"", type});
  return 1; // IDOK
}

} // namespace morex::platform
