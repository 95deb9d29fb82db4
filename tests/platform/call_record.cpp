// The record of calls and the injected faults. Successful calls set the last error to 0
// (Windows leaves it undefined then), so code that reads the error late, after another call,
// sees the wrong value in tests.

#include "platform/in_memory_platform.h"

#include <cstdio>
#include <cstdlib>

namespace morex::fake {
void SetError(platform::Dword error) {
  World &w = State();
  w.lastError = error;
  if (!w.calls.empty())
    w.calls.back().error = error;
}

bool Faulted(Call call) {
  const auto found = State().faults.find(call);
  Fault *fault = found == State().faults.end() ? nullptr : &found->second;
  if (!fault || (fault->skip > 0 && fault->skip--) || fault->times == 0)
    return false;
  if (fault->times > 0)
    --fault->times;
  SetError(fault->error);
  return true;
}

void Unmodelled(const char *what) {
  std::fprintf(stderr, "in-memory platform: %s is not modelled\n", what);
  std::abort();
}

World &State() {
  static World world;
  return world;
}

void Reset() {
  for (auto &[handle, size] : State().blocks)
    delete[] static_cast<std::uint8_t *>(handle);
  State() = World();
}

} // namespace morex::fake
