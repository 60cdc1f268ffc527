/* Functions the calling-convention guard must refuse (each its own way of
 * crossing the boundary that CE's ARM convention and AAPCS lay out
 * differently), and one it must accept. */
#ifndef CONVENTION_PROBE_H
#define CONVENTION_PROBE_H

#include <windows.h>

typedef struct {
    DWORD low;
    DWORD high;
} PROBE_PAIR;

#ifdef __cplusplus
extern "C" {
#endif
unsigned long long WINAPI ProbeReturnsWide(void);
void WINAPI ProbeTakesWide(DWORD first, unsigned long long second);
PROBE_PAIR WINAPI ProbeReturnsRecord(void);
void WINAPI ProbeTakesRecord(PROBE_PAIR pair);
double WINAPI ProbeReturnsDouble(void);
BOOL WINAPI ProbeTakesWords(DWORD value, LPCWSTR text, HANDLE handle);
#ifdef __cplusplus
}
#endif

#endif
