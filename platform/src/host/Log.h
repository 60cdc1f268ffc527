// The device log's record format.
#pragma once

#include <string>

namespace simdevice::internal {

std::string Escape(const std::string &text);    // for log fields: \t \n \\ escaped
std::string Unescape(const std::string &text);

}  // namespace simdevice::internal
