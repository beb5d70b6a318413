// Library information: the version query and a pass-through. Neither needs a
// port nor touches any state.
#include "velk32.h"
#include "velk32_version.h"

// The version answer packs major and minor into one byte, four bits each.
static_assert(VELK_VERSION_MAJOR >= 0 && VELK_VERSION_MAJOR < 16 && VELK_VERSION_MINOR >= 0 &&
                  VELK_VERSION_MINOR < 16,
              "SioInfo('V') holds the major and minor version in four bits each");

extern "C" VELK_API int VELK_CALL SioInfo(int query) {
    switch (query & 0xFF) {
    case 'V':
        return VELK_VERSION_MAJOR << 4 | VELK_VERSION_MINOR;  // 2.0 is 0x20
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
