#include "run/run.h"

#include "core/ansi.h"
#include "core/decimal.h"
#include "core/failure.h"
#include "core/handles.h"
#include "eventlog/event_log_sink.h"
#include "options/command_line_options.h"
#include "platform/platform.h"

#include <memory>
#include <new>

namespace morex::mdlMain {
namespace {

constexpr std::int32_t kEventAccepted = 100;
constexpr std::int32_t kEventRefused = 101;
constexpr std::int32_t kEventFailure = 102;
constexpr std::int32_t kEventManagerNotOpened = 103;

// Keeps a system error code that an administrator can look up; anything else, 0 included,
// becomes the fallback so that a failure is never reported as 0.
RunStatus StatusFromError(platform::Dword error, RunStatus fallback) {
  return error >= 1 && error <= 32767 ? static_cast<RunStatus>(error) : fallback;
}

bool SendRequest(platform::Handle service, bool bStart) {
  if (bStart)
    return platform::StartServiceA(service, 0, nullptr) != 0;
  platform::ServiceStatus status{};
  return platform::ControlService(service, platform::kServiceControlStop, &status) != 0;
}

// Writes event 102. A failure while writing it, running out of memory for the text
// included, ends the run quietly: there is no channel left to report it on.
template <typename Text> void ReportFailure(const Text &description) noexcept {
  try {
    mdlEventLogSink::WriteEventLogEntry(std::u16string(description), kErrorEntryType,
                                        kEventFailure);
  } catch (...) { // NOLINT(bugprone-empty-catch): nothing is left to report it on
  }
}

// A request's outcome: the status that event 100 or 101 reports, and the exit code.
struct Request {
  RunStatus status;
  ExitCode exitCode;
};

Request SendServiceRequest(const std::u16string &strService, bool bStart) {
  const unique_schandle manager(
      platform::OpenSCManagerA(nullptr, nullptr, platform::kScManagerAllAccess));
  if (!manager) {
    const auto error = static_cast<std::int32_t>(platform::GetLastError());
    mdlEventLogSink::WriteEventLogEntry(u"OpenSCManager failed. LastDllError = " +
                                            DecimalForm(error),
                                        kErrorEntryType, kEventManagerNotOpened);
    const RunStatus status =
        StatusFromError(static_cast<platform::Dword>(error), kRunStatusManagerNotOpened);
    // Event 103 holds the whole code, which the status may not; a 0 would read as success.
    return {status, error != 0 ? error : status};
  }
  const std::string name = ToAnsi(strService);
  const unique_schandle service(platform::OpenServiceA(
      manager.get(), name.c_str(), bStart ? platform::kServiceStart : platform::kServiceStop));
  if (!service) {
    const RunStatus status = StatusFromError(platform::GetLastError(), kRunStatusServiceNotOpened);
    return {status, status};
  }
  if (SendRequest(service.get(), bStart))
    return {0, 0};
  const RunStatus status = StatusFromError(platform::GetLastError(), kRunStatusRequestRefused);
  return {status, status};
}

// The exit code of a run that ends in event 102, by the kind of failure: a command line that
// Morex cannot use tells the administrator to fix it; the others name what ran out.
ExitCode ExitCodeOf(const Failure &failure) noexcept {
  switch (failure.Number()) {
  case kFailureNoSuchMember:
  case kFailureIndexOutOfRange:
  case kFailureDuplicateKey:
    return kExitInvalidCommandLine;
  case kFailureOutOfMemory:
    return kExitNotEnoughMemory;
  case kFailureOverflow:
    return kExitArithmeticOverflow;
  case kFailureConversion:
    return kExitNoUnicodeTranslation;
  default:
    return kExitInternalError;
  }
}

ExitCode Run() {
  const auto options = std::make_unique<CommandLineOptions>();
  options->LoadCommandLineArgs(ArgumentText(platform::GetCommandLineW()));
  const bool bStart = TextOf(options->Item(u"/command")->Value()) == u"start";
  const std::u16string strService = TextOf(options->Item(u"/service")->Value());
  const Request request = SendServiceRequest(strService, bStart);
  const std::u16string commandWord = TextOf(options->Item(u"/command")->Value());
  if (request.status != 0) {
    mdlEventLogSink::WriteEventLogEntry(DecimalForm(request.status) + u" - " + commandWord + u" " +
                                            strService,
                                        kErrorEntryType, kEventRefused);
    return request.exitCode;
  }
  mdlEventLogSink::WriteEventLogEntry(commandWord + u" " + strService, kInformationEntryType,
                                      kEventAccepted);
  return 0;
}

} // namespace

void LoadDllsFromSystem32Only() noexcept {
  if (platform::SetDefaultDllDirectories(platform::kLoadLibrarySearchSystem32))
    return;
  // Windows 7 without its 2011 loader update: at least the current folder leaves the search.
  platform::SetDllDirectoryW(u"");
}

std::u16string ArgumentText(const std::u16string &strCommandLine) {
  std::size_t at = 0;
  if (!strCommandLine.empty() && strCommandLine[0] == u'"') {
    at = strCommandLine.find(u'"', 1);
    at = at == std::u16string::npos ? strCommandLine.size() : at + 1;
  } else {
    while (at < strCommandLine.size() && strCommandLine[at] > u' ')
      ++at;
  }
  while (at < strCommandLine.size() && strCommandLine[at] <= u' ')
    ++at;
  return strCommandLine.substr(at);
}

RunStatus ChangeServiceState(const std::u16string &strService, const bool &bStart) {
  return SendServiceRequest(strService, bStart).status;
}

ExitCode Main() noexcept {
  try {
    return Run();
  } catch (const Failure &failure) {
    ReportFailure(failure.Description());
    return ExitCodeOf(failure);
  } catch (const std::bad_alloc &) {
    ReportFailure(u"Out of memory: the run could not be completed.");
    return kExitNotEnoughMemory;
  } catch (...) {
    ReportFailure(u"An unexpected internal error ended the run.");
    return kExitInternalError;
  }
}

} // namespace morex::mdlMain
