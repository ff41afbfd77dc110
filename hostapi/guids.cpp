// Defines, once for the whole module, the identifiers declared by the generated headers:
// Vexa's classes, interface and type library, and the host's interfaces and classes.
#include <initguid.h>

#include "Vexa_h.h"
#include "hostapi.h"
