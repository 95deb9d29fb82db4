#pragma once

#include "core/unique_any.h"
#include "platform/platform.h"

namespace morex {

// Closes a handle and keeps the last error as it was before: a handle that goes out of scope
// between a failed call and the reading of its error must not change what is read.
template <auto Close> void CloseKeepingLastError(platform::Handle handle) noexcept {
  const platform::Dword error = platform::GetLastError();
  Close(handle);
  platform::SetLastError(error);
}

using unique_schandle =
    unique_any<platform::Handle, &CloseKeepingLastError<&platform::CloseServiceHandle>>;
using unique_event_source =
    unique_any<platform::Handle, &CloseKeepingLastError<&platform::DeregisterEventSource>>;
using unique_hglobal = unique_any<platform::Handle, &CloseKeepingLastError<&platform::GlobalFree>>;

} // namespace morex
