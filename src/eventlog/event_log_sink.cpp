#include "eventlog/event_log_sink.h"

#include "core/ansi.h"
#include "core/decimal.h"
#include "core/failure.h"
#include "core/handles.h"
#include "platform/platform.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace morex::mdlEventLogSink {
namespace {

// The block's size in characters plus the terminator must fit a 32-bit signed sum.
void CheckBlockLength(const std::u16string &message) {
  if (message.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw OverflowFailure(u"the event-log message is too long.");
}

platform::Word EventType(std::int32_t lngType) {
  if (lngType < std::numeric_limits<std::int16_t>::min() ||
      lngType > std::numeric_limits<std::int16_t>::max())
    throw OverflowFailure(u"the event type " + DecimalForm(lngType) +
                          u" does not fit a 16-bit integer.");
  return static_cast<platform::Word>(static_cast<std::int16_t>(lngType));
}

// What Windows takes in one entry: each insertion string up to 31,839 characters, binary data
// up to 61,440 bytes. From Vista on the whole record must also fit one 64 KiB chunk of the log
// file, and the service keeps the string as UTF-16 whatever the A call was given: a text that
// passes both limits alone can still be refused, and measured limits for one string are lower
// than the documented one (31,718 characters on Windows 10, 31,701 on Windows 11). So the
// string as UTF-16 and the data together stay within 61,440 bytes, which leaves room for the
// record's header, the source and a long computer name; that budget implies both limits.
constexpr std::size_t kMaxStringCharacters = 31839;
constexpr std::size_t kMaxDataBytes = 61440;
constexpr std::size_t kMaxRecordBytes = 61440;
static_assert(kMaxRecordBytes - 2 <= kMaxDataBytes &&
              (kMaxRecordBytes - 2) / 2 <= kMaxStringCharacters);

struct FittedMessage {
  std::u16string text;
  std::string ansi;
};

bool Fits(const FittedMessage &message) {
  return 2 * (message.text.size() + 1) + message.ansi.size() + 1 <= kMaxRecordBytes;
}

// The first `keep` characters (never half a surrogate pair) and a marker saying how many
// were left out.
FittedMessage Shortened(const std::u16string &message, std::size_t keep) {
  if (keep > 0 && message[keep - 1] >= 0xD800 && message[keep - 1] <= 0xDBFF)
    --keep;
  FittedMessage shortened;
  // A string's size never comes near the int64_t limit.
  const auto left_out = static_cast<std::int64_t>(message.size() - keep);
  shortened.text =
      message.substr(0, keep) + u"... [" + DecimalForm(left_out) + u" more characters left out]";
  shortened.ansi = ToAnsi(shortened.text);
  return shortened;
}

// The message as the event log takes it: unchanged when it fits, otherwise its longest head
// that fits with the marker.
FittedMessage FitForTheEventLog(const std::u16string &message) {
  FittedMessage whole{message, ToAnsi(message)};
  if (Fits(whole))
    return whole;
  std::size_t fits = 0, tooLong = std::min(message.size(), kMaxStringCharacters) + 1;
  while (tooLong - fits > 1) {
    const std::size_t keep = fits + (tooLong - fits) / 2;
    (Fits(Shortened(message, keep)) ? fits : tooLong) = keep;
  }
  return Shortened(message, fits);
}

// A zero-filled block holding the ANSI message and its terminating zero. It is sized from the
// converted bytes rather than the character count: in a multi-byte code page the converted
// text is longer than the text, and a block of characters + 1 bytes would overflow.
unique_hglobal CopyToBlock(const std::string &ansi) {
  unique_hglobal block(platform::GlobalAlloc(platform::kGmemZeroInit, ansi.size() + 1));
  if (!block)
    throw Failure(kFailureOutOfMemory,
                  u"Out of memory: the event-log message block could not be allocated; system "
                  u"error code " +
                      DecimalForm(static_cast<std::int32_t>(platform::GetLastError())) + u".");
  platform::RtlMoveMemory(block.get(), ansi.c_str(), ansi.size() + 1);
  return block;
}

bool InSessionZero() {
  platform::Dword session = 0;
  return platform::ProcessIdToSessionId(platform::GetCurrentProcessId(), &session) && session == 0;
}

// False on a window station that is not visible (a scheduled task that runs whether or not a
// user is logged on). When the station can't be asked, the box is shown. Needs user32.
bool StationIsVisible() {
  platform::UserObjectFlags flags{};
  platform::Handle station = platform::GetProcessWindowStation();
  if (!station || !platform::GetUserObjectInformationW(station, platform::kUoiFlags, &flags,
                                                       sizeof flags, nullptr))
    return true;
  return (flags.flags & platform::kWsfVisible) != 0;
}

// user32 from System32 alone, so that no user32.dll beside Morex.exe is ever taken for it. The
// search flags exist where kernel32 exports AddDllDirectory, Microsoft's own test for them: a
// Windows 7 without its 2011 loader update (KB2533623) lacks both, and there user32, a KnownDLL,
// comes from System32 by its plain name. It stays loaded until the process ends.
bool LoadUser32() {
  const bool searchFlags = platform::GetProcAddress(platform::GetModuleHandleW(u"kernel32.dll"),
                                                    "AddDllDirectory") != nullptr;
  return platform::LoadLibraryExW(u"user32.dll", nullptr,
                                  searchFlags ? platform::kLoadLibrarySearchSystem32 : 0);
}

// The box is left out where nobody could ever press OK and it would wait forever: in session
// 0, where services and tasks without a logged-on user run and no user has been interactive
// since Vista (asked first, as it needs no user32), and on an invisible window station.
void ShowErrorCode(std::int32_t code) {
  if (InSessionZero() || !LoadUser32() || !StationIsVisible())
    return;
  const std::u16string text = DecimalForm(code);
  const std::u16string caption(std::begin(kApplicationTitle), std::end(kApplicationTitle) - 1);
  platform::MessageBoxW(nullptr, text.c_str(), caption.c_str(), platform::kMbOk);
}

} // namespace

void WriteEventLogEntry(const std::u16string &strMessage, const std::int32_t &lngType,
                        const std::int32_t &lngEventID) {
  // A failed registration is not tested: the report then fails on the missing handle and the
  // message box shows its error code.
  const unique_event_source source(platform::RegisterEventSourceA("", kApplicationTitle));
  CheckBlockLength(strMessage);
  const std::string ansi = FitForTheEventLog(strMessage).ansi;
  const unique_hglobal block = CopyToBlock(ansi);
  const platform::Word type = EventType(lngType);
  const char *strings[] = {static_cast<const char *>(block.get())};
  const platform::Bool reported = platform::ReportEventA(
      source.get(), type, 0, static_cast<platform::Dword>(lngEventID), nullptr, 1,
      static_cast<platform::Dword>(ansi.size() + 1), strings, block.get());
  if (!reported)
    ShowErrorCode(static_cast<std::int32_t>(platform::GetLastError()));
}

} // namespace morex::mdlEventLogSink
