#pragma once

#include "core/unique_any.h"
#include "platform/platform.h"

namespace morex {

using unique_schandle = unique_any<platform::Handle, &platform::CloseServiceHandle>;
using unique_event_source = unique_any<platform::Handle, &platform::DeregisterEventSource>;
using unique_hglobal = unique_any<platform::Handle, &platform::GlobalFree>;

} // namespace morex
