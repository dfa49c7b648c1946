// The library's identification, found in the binary by `strings` and `what`.
#include "kavro/export.h"

extern "C" KAVRO_API const char KAVRO_USB_DLLVersionString[] =
    "@(#)PROGRAM:KAVRO_USB_DLL.0.9.0  PROJECT:KAVRO_USB_DLL-0.9.0";
