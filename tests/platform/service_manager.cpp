// The service manager: services found by name, started and stopped.

#include "platform/in_memory_platform.h"

#include <clocale>
#include <cstring>
#include <cwctype>

namespace morex::in_memory {
namespace {

// The name as the service manager compares it: its characters in the code page in use, each
// in upper case (names compare without letter case, and as characters, never as bytes).
std::u16string Folded(const std::string &name) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  std::u16string folded = Decode(State().codePage, name);
  for (char16_t &c : folded)
    c = static_cast<char16_t>(towupper_l(c, unicode));
  return folded;
}

Service *Find(const std::string &name) {
  const std::u16string wanted = Folded(name);
  for (auto &[serviceName, service] : State().services)
    if (!wanted.empty() && Folded(serviceName) == wanted)
      return &service;
  return nullptr;
}

// The open service of a handle with the right asked for, or nullptr with the last error set.
Service *Opened(platform::Handle handle, platform::Dword right) {
  const auto open = State().openServices.find(handle);
  if (open == State().openServices.end())
    return Fail<Service *>(platform::kErrorInvalidHandle, nullptr);
  if (!(open->second.second & right))
    return Fail<Service *>(platform::kErrorAccessDenied, nullptr);
  Service *service = Find(open->second.first);
  return service ? service : Fail<Service *>(platform::kErrorServiceDoesNotExist, nullptr);
}

} // namespace
} // namespace morex::in_memory

using namespace morex::in_memory; // the in-memory platform's calls use its parts unqualified

namespace morex::platform {

Handle OpenSCManagerA(const char *machineName, const char *databaseName, Dword desiredAccess) {
  const Entered call(Call::OpenSCManagerA, "", desiredAccess);
  State().calls.back().text = std::string(machineName ? machineName : "<null>") + "|" +
                              (databaseName ? databaseName : "<null>");
  if (Faulted(Call::OpenSCManagerA))
    return nullptr;
  const Handle manager = reinterpret_cast<Handle>(State().nextHandle++);
  State().openManagers.insert(manager);
  return Succeed(manager);
}

Handle OpenServiceA(Handle manager, const char *serviceName, Dword desiredAccess) {
  const Entered call(Call::OpenServiceA, serviceName ? serviceName : "<null>", desiredAccess);
  if (!State().openManagers.count(manager))
    return Fail<Handle>(kErrorInvalidHandle, nullptr);
  if (Faulted(Call::OpenServiceA))
    return nullptr;
  if (!serviceName)
    return Fail<Handle>(kErrorInvalidAddress, nullptr);
  // Names are at most 256 characters and never hold a slash or a backslash.
  if (!*serviceName || std::strpbrk(serviceName, "/\\") ||
      Decode(State().codePage, serviceName).size() > 256)
    return Fail<Handle>(kErrorInvalidName, nullptr);
  const Service *service = Find(serviceName);
  if (!service || (desiredAccess & ~service->grantedAccess))
    return Fail<Handle>(service ? kErrorAccessDenied : kErrorServiceDoesNotExist, nullptr);
  const Handle handle = reinterpret_cast<Handle>(State().nextHandle++);
  State().openServices[handle] = {serviceName, desiredAccess};
  return Succeed(handle);
}

Bool StartServiceA(Handle service, Dword argumentCount, const char **arguments) {
  const Entered call(Call::StartServiceA, arguments ? "<arguments>" : "<null>", argumentCount);
  Service *target = Opened(service, kServiceStart);
  if (!target || Faulted(Call::StartServiceA))
    return 0;
  if (target->state == ServiceState::Running)
    return Fail<Bool>(kErrorServiceAlreadyRunning, 0);
  if (target->disabled || !target->answersInTime)
    return Fail<Bool>(target->disabled ? kErrorServiceDisabled : kErrorServiceRequestTimeout, 0);
  target->state = ServiceState::Running;
  return Succeed<Bool>(1);
}

// The status record is filled on success and where the stop is refused for the service's state
// or its controls, with the state that the service is in.
Bool ControlService(Handle service, Dword control, ServiceStatus *status) {
  const ServiceStatus zero{};
  const bool zeroed = status && !std::memcmp(status, &zero, sizeof zero);
  const Entered call(Call::ControlService, zeroed ? "zeroed" : "not zeroed", control);
  if (!status || control != kServiceControlStop)
    return Fail<Bool>(status ? kErrorInvalidServiceControl : kErrorInvalidParameter, 0);
  Service *target = Opened(service, kServiceStop);
  if (!target || Faulted(Call::ControlService))
    return 0;
  const bool running = target->state == ServiceState::Running;
  if (running && target->acceptsStop && !target->answersInTime)
    return Fail<Bool>(kErrorServiceRequestTimeout, 0);
  constexpr Dword kStopped = 1, kStopPending = 3, kRunning = 4;
  *status = ServiceStatus{0x10, running ? kRunning : kStopped, 0, 0, 0, 0, 0};
  if (!running || !target->acceptsStop)
    return Fail<Bool>(running ? kErrorInvalidServiceControl : kErrorServiceNotActive, 0);
  target->state = ServiceState::Stopped;
  status->currentState = kStopPending;
  return Succeed<Bool>(1);
}

Bool CloseServiceHandle(Handle handle) {
  const Entered call(Call::CloseServiceHandle);
  if (Faulted(Call::CloseServiceHandle))
    return 0;
  const bool open = State().openManagers.erase(handle) || State().openServices.erase(handle);
  return open ? Succeed<Bool>(1) : Fail<Bool>(kErrorInvalidHandle, 0);
}

} // namespace morex::platform
