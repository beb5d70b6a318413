// Error codes in words on POSIX: the library reports errno values through
// SioWinError, so strerror names them.
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace velkcom {

std::string errorText(int code) {
    if (code == 0) return "no error recorded";
    return std::strerror(code);
}

}  // namespace velkcom
