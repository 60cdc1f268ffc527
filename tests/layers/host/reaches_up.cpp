// A host/ file that uses calls/: the layer check must refuse it.
#include "../calls/Anything.h"
