// Wide text as the platform has it (UTF-16) and as the host has it (UTF-8).
#pragma once

#include <windef.h>

#include <string>

namespace simdevice::internal {

std::u16string FromWide(const WCHAR *text);   // null gives u""
std::string Narrow(const WCHAR *text);        // UTF-8; null gives ""
std::u16string FoldCase(std::u16string text);  // ASCII letters only, as registry and window lookups do

}  // namespace simdevice::internal
