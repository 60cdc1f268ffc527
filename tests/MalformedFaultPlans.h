// Fault plans that must be refused, each for one reason, by every stand-in
// and tool that takes a plan: a plan that cannot be carried out as written
// must never be mistaken for a fault that happened.
#pragma once

namespace fault_plans {

inline const char *const kMalformed[] = {
    "LocalAlloc",                     // no '='
    "LocalAlloc=fail",                // no value
    "LocalAlloc=fail:",               // empty value
    "LocalAlloc=boom:1",              // unknown verb
    "LocalAlloc=fial:8",              // a verb mistyped
    "LocalAlloc=fail:eight",          // not a number
    "LocalAlloc=fail:8 ",             // trailing blank
    "LocalAlloc=fail:-1",             // negative
    "LocalAlloc=fail:0x100000000",    // past 32 bits
    "LocalAlloc@x=fail:1",            // call number not a number
    "LocalAlloc@-1=fail:1",           // negative call number
    "LocalAlloc@0=fail:1",            // call number 0
    "LocalAlloc@=fail:1",             // empty call number
    "LocalAllocX=fail:1",             // unknown call
    "CreateMsgQueu=fail:8",           // a call mistyped
    "=fail:8",                        // no call
    "GetLastError=fail:1",            // a call that cannot fail
    "memset=return:0",                // nor can this one
    "LocalAlloc=path:/x",             // path: is for GetModuleFileNameW only
    "LocalAlloc:x=fail:1",            // only GetProcAddressW takes an argument
    "GetProcAddressW:=fail:1",        // empty argument
    "LocalAlloc=fail:8;CreateMsgQueu=fail:8",  // one bad plan spoils the list
};

}  // namespace fault_plans
