/* The device's own header: the same records and calls on the desktop. */
#include "../../include/kfuncs.h"
