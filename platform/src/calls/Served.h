// The stand-in's own implementation of each call that can fail, as
// served::NAME: the exported NAME (recorded.cpp) records the call around it.
#pragma once

#include <simdevice/device.h>

#include <platform_call_headers.h>
#include <platform_calls.h>

namespace simdevice::served {

#define SIMDEVICE_SERVED(name, failure, parameters, arguments) decltype(::name) name;
PLATFORM_FAULTABLE_CALLS(SIMDEVICE_SERVED, unused)
#undef SIMDEVICE_SERVED

}  // namespace simdevice::served
