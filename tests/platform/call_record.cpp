// The injected faults and the one world that the calls act on.

#include "platform/in_memory_platform.h"

namespace morex::in_memory {

bool Faulted(Call call) {
  const auto found = State().faults.find(call);
  if (found == State().faults.end())
    return false;
  Fault &fault = found->second;
  if (fault.skip > 0) {
    --fault.skip; // this call still succeeds
    return false;
  }
  if (fault.times == 0)
    return false;
  if (fault.times > 0)
    --fault.times;
  return Fail(fault.error, true);
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

} // namespace morex::in_memory
