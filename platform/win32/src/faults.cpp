#include "faults.h"

#include <cstdlib>
#include <cstring>

namespace coredll {

bool PlannedFailure(const char *function) {
    const char *plan = std::getenv("COREDLL_FAULTS");
    const size_t nameLength = std::strlen(function);
    for (const char *entry = plan; entry != nullptr && *entry != 0;) {
        const char *end = std::strchr(entry, ',');
        if (std::strncmp(entry, function, nameLength) == 0 && std::strncmp(entry + nameLength, "=fail:", 6) == 0) {
            SetLastError(DWORD(std::strtoul(entry + nameLength + 6, nullptr, 0)));
            return true;
        }
        entry = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

}  // namespace coredll
