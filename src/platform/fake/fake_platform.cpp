// In-memory stand-in for the Win32 calls of platform.h. Every call is recorded; handles are
// tracked until closed; blocks are real memory so that sanitizers see overruns. Successful
// calls set the last error to 0 (Windows leaves it undefined then), so code that reads the
// error late, after another call, sees the wrong value in tests.

#include "platform/fake/fake_platform.h"

#include <algorithm>
#include <cstring>

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

// Windows-1252 bytes 0x80-0x9F.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::optional<std::string> Cp1252(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
    return std::string(1, static_cast<char>(c));
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c)
      return std::string(1, static_cast<char>(0x80 + i));
  return std::nullopt;
}

std::string DoubleByte(unsigned code) {
  return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// A subset of Shift-JIS: ASCII, half-width katakana, full-width digits and letters, the
// ideographic space, hiragana and katakana.
std::optional<std::string> Cp932(char16_t c) {
  if (c < 0x80)
    return std::string(1, static_cast<char>(c));
  if (c >= 0xFF61 && c <= 0xFF9F)
    return std::string(1, static_cast<char>(0xA1 + (c - 0xFF61)));
  if (c == 0x3000)
    return DoubleByte(0x8140);
  if (c >= 0xFF10 && c <= 0xFF19)
    return DoubleByte(0x824F + (c - 0xFF10));
  if (c >= 0xFF21 && c <= 0xFF3A)
    return DoubleByte(0x8260 + (c - 0xFF21));
  if (c >= 0xFF41 && c <= 0xFF5A)
    return DoubleByte(0x8281 + (c - 0xFF41));
  if (c >= 0x3041 && c <= 0x3093)
    return DoubleByte(0x829F + (c - 0x3041));
  if (c >= 0x30A1 && c <= 0x30F6) {
    const unsigned code = 0x8340 + (c - 0x30A1);
    return DoubleByte(code >= 0x837F ? code + 1 : code); // 0x7F is never a trail byte
  }
  return std::nullopt;
}

void AppendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Utf8(const std::u16string &text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD); // a lone surrogate
    } else {
      AppendUtf8(out, c);
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

std::string EncodeForCodePage(unsigned codePage, const std::u16string &text, bool bestFit,
                              bool *usedDefault) {
  if (codePage == 65001)
    return Utf8(text);
  std::string out;
  for (char16_t c : text) {
    // Best fit maps a full-width ASCII look-alike to the ASCII character itself.
    if (bestFit && c >= 0xFF01 && c <= 0xFF5E && !(codePage == 932 && Cp932(c)))
      c = static_cast<char16_t>(c - 0xFF01 + 0x21);
    const std::optional<std::string> bytes = codePage == 932 ? Cp932(c) : Cp1252(c);
    if (bytes) {
      out += *bytes;
      continue;
    }
    out += '?';
    if (usedDefault)
      *usedDefault = true;
  }
  return out;
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
  if (!serviceName || !*serviceName)
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
  if (!wide || wideLength < -1 || multiByteLength < 0 || defaultChar)
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

std::int32_t MessageBoxW(Handle, const char16_t *text, const char16_t *caption, unsigned type) {
  const fake::Scope scope;
  fake::World &w = TheWorld();
  Record(Call::MessageBoxW);
  w.messageBoxes.push_back({text ? text : u"", caption ? caption : u"", type});
  return 1; // IDOK
}

} // namespace morex::platform
