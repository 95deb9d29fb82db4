// The stack protector's canary and its failure path, in place of libssp's. libssp seeds its
// canary from CryptAcquireContext in a constructor, which loads a cryptographic provider and
// the DLLs it imports before wWinMain can restrict where DLLs come from (under Wine that chain
// reaches user32 and took a version.dll planted beside Morex.exe). These sources are those of
// the stack cookie of Microsoft's own C runtime: no call here loads a DLL.

#include <windows.h>

#include <cstdint>

extern "C" {

// Read by every protected function on entry and compared on return.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA232ULL; // replaced before any protected code runs

// Ends the process at once, without unwinding a stack that can no longer be trusted. From
// Windows 8 on that is the fail-fast, reported as a stack buffer overrun (0xC0000409); before,
// int 29h is an ordinary access violation that exception handlers would see, so there the
// process is terminated with the same status instead.
[[noreturn]] __attribute__((no_stack_protector)) void __stack_chk_fail() {
  if (::IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE))
    asm volatile("int $0x29" ::"c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
  ::TerminateProcess(::GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}

} // extern "C"

namespace {

// Runs before the C++ constructors, which may be protected, and while no protected function is
// on the stack.
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  std::uintptr_t seed = (std::uintptr_t{now.dwHighDateTime} << 32) ^ now.dwLowDateTime;
  seed ^= static_cast<std::uintptr_t>(counter.QuadPart) << 17;
  seed ^= std::uintptr_t{::GetCurrentProcessId()} << 43 ^ ::GetCurrentThreadId();
  seed ^= ::GetTickCount64() << 29;
  seed ^= reinterpret_cast<std::uintptr_t>(&seed); // the stack's address, chosen by ASLR
  // A zero low byte stops string copies that run over the canary from writing past it.
  __stack_chk_guard = seed & ~std::uintptr_t{0xFF};
}

} // namespace
