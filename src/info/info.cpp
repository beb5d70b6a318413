// Library information: the version query and a pass-through. Neither needs a
// port nor touches any state.
#include "velk32.h"

extern "C" VELK_API int VELK_CALL SioInfo(int query) {
    switch (query & 0xFF) {
    case 'V':
        return 0x20;  // version 2.0: major in the high four bits, minor in the low
    case '3':
    case 'I':
        return 1;
    default:
        return -1;
    }
}

extern "C" VELK_API int VELK_CALL SioDebug(int value) {
    return value;
}
