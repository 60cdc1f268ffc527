// coredll's routines on 16-bit wide text. glibc's assume a 32-bit wchar_t,
// so device code is bound to these (windows.h).
#include <cstddef>

extern "C" {

char16_t *simdevice_wcsstr(const char16_t *text, const char16_t *search) {
    if (!*search) return const_cast<char16_t *>(text);
    for (; *text; ++text) {
        size_t i = 0;
        while (search[i] && text[i] == search[i]) ++i;
        if (!search[i]) return const_cast<char16_t *>(text);
    }
    return nullptr;
}

char16_t *simdevice_wcsncpy(char16_t *destination, const char16_t *source, size_t count) {
    size_t i = 0;
    for (; i < count && source[i]; ++i) destination[i] = source[i];
    for (; i < count; ++i) destination[i] = 0;  // pads, as the C library does
    return destination;
}

}  // extern "C"
