// libFuzzer target: runs the whole program on the in-memory platform with a command line and a
// fault plan taken from the input, then checks what the run did. Any broken rule aborts.
//
// Input: kPlanBytes of plan, then the full command line as UTF-16LE (at most 32767 units).

#include "options/command_line_options.h"
#include "platform/in_memory_platform.h"
#include "run/run.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using morex::in_memory::Call;
using morex::in_memory::ServiceState;

constexpr std::size_t kMaxCommandLine = 32767;

// Calls whose failure the plan can inject, each with a byte of the plan.
constexpr Call kFaultableCalls[] = {
    Call::OpenSCManagerA, Call::OpenServiceA,         Call::StartServiceA,
    Call::ControlService, Call::RegisterEventSourceA, Call::ReportEventA,
    Call::GlobalAlloc,    Call::WideCharToMultiByte,  Call::DeregisterEventSource};
constexpr std::size_t kPlanBytes = 2 + sizeof(kFaultableCalls) / sizeof(kFaultableCalls[0]);
constexpr morex::platform::Dword kErrors[] = {
    5,     6,           8, 87,    1056,        1060,        1062, 1502,
    70000, 0x80000000u, 0, 32767, 0x7FFFFFFFu, 0xFFFFFFFFu, 1053, 1};
constexpr unsigned kCodePages[] = {1252, 932, 65001, 936};

void Check(bool condition, const char *rule) {
  if (condition)
    return;
  std::fprintf(stderr, "broken rule: %s\n", rule);
  std::abort();
}

void ApplyPlan(const std::uint8_t *plan, morex::in_memory::World &world) {
  world.codePage = kCodePages[plan[0] & 3];
  const std::uint8_t service = plan[1];
  if (service & 1) {
    morex::in_memory::Service &spooler = world.services["Spooler"];
    spooler.state = (service & 2) ? ServiceState::Running : ServiceState::Stopped;
    spooler.grantedAccess = 0;
    if (!(service & 8))
      spooler.grantedAccess |= morex::platform::kServiceStart;
    if (!(service & 16))
      spooler.grantedAccess |= morex::platform::kServiceStop;
    spooler.acceptsStop = !(service & 4);
  }
  for (std::size_t i = 0; i < kPlanBytes - 2; ++i)
    if (const std::uint8_t byte = plan[2 + i]; byte & 0x80)
      world.faults[kFaultableCalls[i]] = {kErrors[byte & 15], (byte >> 4) & 3,
                                          (byte & 0x40) ? -1 : 1};
}

// The reports the run tried to write, in order, whether or not the log took them.
std::vector<std::uint32_t> AttemptedEvents(const morex::in_memory::World &world) {
  std::vector<std::uint32_t> ids;
  for (const auto &call : world.calls)
    if (call.call == Call::ReportEventA)
      ids.push_back(static_cast<std::uint32_t>(call.number));
  return ids;
}

// A prefix of one of 100; 101; 102; 103 101; 103 102 (later entries may be lost when writing
// them raised a failure that could not be reported either).
bool IsRunSequence(const std::vector<std::uint32_t> &ids) {
  return ids.empty() || (ids.size() == 1 && ids[0] >= 100 && ids[0] <= 103) ||
         (ids.size() == 2 && ids[0] == 103 && (ids[1] == 101 || ids[1] == 102));
}

// The command word when the command line carries both options, read independently of Main.
std::optional<std::u16string> CommandWord(const std::u16string &commandLine) {
  try {
    morex::CommandLineOptions options;
    options.LoadCommandLineArgs(morex::mdlMain::ArgumentText(commandLine));
    options.Item(u"/service");
    return morex::TextOf(options.Item(u"/command")->Value());
  } catch (...) {
    return std::nullopt;
  }
}

// The status that event 101 must carry: the error code of the service-manager call that
// failed last, or that call's fallback when the code does not fit 1..32767.
std::int32_t ExpectedStatus(const morex::in_memory::World &world) {
  const morex::in_memory::CallRecord *failed = nullptr;
  for (const auto &call : world.calls)
    if (call.call == Call::OpenSCManagerA || call.call == Call::OpenServiceA ||
        call.call == Call::StartServiceA || call.call == Call::ControlService)
      failed = &call;
  if (!failed)
    return 0;
  if (failed->error >= 1 && failed->error <= 32767)
    return static_cast<std::int32_t>(failed->error);
  return failed->call == Call::OpenSCManagerA ? morex::kRunStatusManagerNotOpened
         : failed->call == Call::OpenServiceA ? morex::kRunStatusServiceNotOpened
                                              : morex::kRunStatusRequestRefused;
}

void CheckEntries(const morex::in_memory::World &world) {
  for (const auto &entry : world.entries) {
    Check(entry.category == 0, "category 0");
    Check(entry.type == (entry.eventId == 100 ? 4 : 1), "type matches the event ID");
    Check(entry.source == "Morex" && entry.server.empty(), "source Morex, local computer");
    Check(entry.strings.size() == 1, "one insertion string");
    const std::string &text = entry.strings[0];
    Check(entry.data == std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1),
          "binary data is the string's bytes and one zero");
    if (entry.eventId == 101)
      Check(text.rfind(std::to_string(ExpectedStatus(world)) + " - ", 0) == 0,
            "event 101 starts with the error code of the call that failed and \" - \"");
  }
  for (const auto &call : world.calls)
    if (call.call == Call::ReportEventA && !world.faults.count(Call::ReportEventA))
      Check(call.error == 0 || call.error == morex::platform::kErrorInvalidHandle,
            "no entry refused for its size");
  const std::size_t refused = AttemptedEvents(world).size() - world.entries.size();
  Check(world.messageBoxes.size() == refused, "one message box per refused entry");
  for (const auto &box : world.messageBoxes)
    Check(box.caption == u"Morex" && box.type == 0 && !box.text.empty(), "message box form");
}

void CheckRequest(const morex::in_memory::World &world, bool existed, ServiceState before) {
  const int starts = world.CountCalls(Call::StartServiceA);
  const int stops = world.CountCalls(Call::ControlService);
  Check(starts + stops <= 1, "at most one request");
  Check(world.CountCalls(Call::OpenSCManagerA) <= 1, "the manager opened at most once");
  if (world.CountCalls(Call::OpenSCManagerA)) {
    const std::optional<std::u16string> word = CommandWord(world.commandLine);
    Check(word.has_value(), "a request only after both options were found");
    Check(*word == u"start" ? stops == 0 : starts == 0, "the request that the command word asks");
  }
  if (const auto *open = world.FindCall(Call::OpenServiceA); open && starts + stops)
    Check(open->number == (starts ? morex::platform::kServiceStart : morex::platform::kServiceStop),
          "the service opened with the right of its request alone");
  const std::vector<std::uint32_t> ids = AttemptedEvents(world);
  const ServiceState after = existed ? world.services.at("Spooler").state : before;
  const bool changed = existed && after != before;
  // A run whose outcome could not be written (102 or nothing) makes no claim either way.
  if (!ids.empty() && ids.back() == 100)
    Check(changed && after == (starts ? ServiceState::Running : ServiceState::Stopped),
          "event 100 only when the request was carried out");
  if (!ids.empty() && ids.back() == 101)
    Check(!changed, "event 101 only when the request was not carried out");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < kPlanBytes)
    return 0;
  morex::in_memory::Reset();
  morex::in_memory::World &world = morex::in_memory::State();
  ApplyPlan(data, world);
  std::u16string &commandLine = world.commandLine = u"";
  for (std::size_t i = kPlanBytes; i + 1 < size && commandLine.size() < kMaxCommandLine; i += 2)
    commandLine.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  // Windows hands over a zero-terminated text: nothing after a zero reaches the program.
  commandLine = commandLine.c_str();
  // Stretched to the longest command line, so that names reach the event log's limits.
  while ((data[1] >> 5) == 7 && !commandLine.empty() && commandLine.size() < kMaxCommandLine)
    commandLine += commandLine.back();

  const bool existed = world.services.count("Spooler") != 0;
  const ServiceState before = existed ? world.services["Spooler"].state : ServiceState::Stopped;
  const morex::ExitCode exitCode = morex::mdlMain::Main();

  const std::vector<std::uint32_t> ids = AttemptedEvents(world);
  Check(IsRunSequence(ids), "the events form a sequence of the run");
  Check((exitCode == 0) == (!ids.empty() && ids.back() == 100), "exit code 0 only after 100");
  Check(ids != std::vector<std::uint32_t>{101} || exitCode == ExpectedStatus(world),
        "the exit code of a lone 101 is its status");
  CheckEntries(world);
  CheckRequest(world, existed, before);
  Check(world.Outstanding() == 0, "every handle closed and every block freed");
  Check(world.registrations == world.deregistrations, "every event source deregistered");
  Check(world.overruns == 0, "no copy past the end of a block");
  morex::in_memory::Reset();
  return 0;
}
