/* The device's own header: the same call on the desktop. */
#include "../../include/dbgapi.h"
