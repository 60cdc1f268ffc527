// The Wine coredll.dll's own implementations, as served::NAME, of the calls
// the call list serves from here ("own"): the generated export
// coredll_NAME (exports.cpp) takes the fault and passes the call on. Each is
// declared as the device's header (or, where the device's is the desktop's,
// the desktop's) declares NAME.
#pragma once

#include <platform_call_headers.h>
#include <platform_calls.h>

namespace coredll::served {

#define COREDLL_SERVED_own(name) decltype(::name) name;
#define COREDLL_SERVED_desktop(name)
#define COREDLL_SERVED(name, server, ...) COREDLL_SERVED_##server(name)
PLATFORM_WINE_FAULTABLE_CALLS(COREDLL_SERVED, unused)
PLATFORM_WINE_FORWARDED_CALLS(COREDLL_SERVED, unused)
#undef COREDLL_SERVED
#undef COREDLL_SERVED_desktop
#undef COREDLL_SERVED_own

}  // namespace coredll::served
