// The fault plan the fault cases run under. Under Wine coredll.dll reads it
// when it loads, so the harness that starts the suite gives it in
// COREDLL_FAULTS; each plan names an entry point only the fault cases bind.
#pragma once

#define CONFORMANCE_FAULT_PLAN                                                            \
    "GetProcAddressW:ConformanceOnce@2=fail:8;GetProcAddressW:ConformanceEvery@*=fail:0x10;" \
    "GetProcAddressW:ConformanceValue=return:0"
