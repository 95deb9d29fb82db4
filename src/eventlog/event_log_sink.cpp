#include "eventlog/event_log_sink.h"

#include "core/ansi.h"
#include "core/decimal.h"
#include "core/failure.h"
#include "core/handles.h"
#include "platform/platform.h"

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

void ShowErrorCode(std::int32_t code) {
  const std::u16string text = DecimalForm(code);
  platform::MessageBoxW(nullptr, text.c_str(), kApplicationTitle, platform::kMbOk);
}

} // namespace

void WriteEventLogEntry(const std::u16string &strMessage, const std::int32_t &lngType,
                        const std::int32_t &lngEventID) {
  // A failed registration is not tested: the report then fails on the missing handle and the
  // message box shows its error code.
  const unique_event_source source(platform::RegisterEventSourceA("", "Morex"));
  CheckBlockLength(strMessage);
  const std::string ansi = ToAnsi(strMessage);
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
