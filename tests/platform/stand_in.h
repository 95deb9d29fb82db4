#pragma once

// What the stand-in's calls share: the record of each call and its last error, the injected
// faults, new handles, the blocks of memory, and the code pages that texts are read in.

#include "platform/in_memory_platform.h"

namespace morex::fake {

// Marks the extent of one platform call and records it with its text and number (a text built
// from several arguments is added to the record afterwards). Win32 calls never throw; tests
// that make the program's own allocations fail leave the stand-in's bookkeeping alone.
struct Entered {
  explicit Entered(Call call, const char *text = "", std::uint64_t number = 0);
  ~Entered();
  Entered(const Entered &) = delete;
  Entered &operator=(const Entered &) = delete;
};

// The last error of the call being made, also kept in its record.
void SetError(platform::Dword error);
template <typename T> T Fail(platform::Dword error, T result) {
  SetError(error);
  return result;
}
template <typename T> T Succeed(T result) {
  SetError(0);
  return result;
}

// True when the fault plan makes this call fail now; sets the last error then.
bool Faulted(Call call);
std::string OrNull(const char *text);
platform::Handle NewHandle();
// Ends the test: it asked for something that the stand-in does not model.
[[noreturn]] void Unmodelled(const char *what);

// False, and an overrun counted, when [address, address + length) starts in a block but runs
// past its end.
bool WithinBlock(const void *address, std::size_t length);

// The text of bytes in a code page, as UTF-16; empty when they are not all valid there.
std::u16string Decode(unsigned codePage, const std::string &bytes);

} // namespace morex::fake

// The stand-in's platform calls use its own parts unqualified.
namespace morex::platform {
using namespace morex::fake;
} // namespace morex::platform
