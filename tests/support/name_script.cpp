// The getaddrinfo() wrapper behind name_script.h. Its answer chains the C
// library's own answers for 127.0.0.1, one per port, so that freeaddrinfo()
// frees it as any other.
#include "support/name_script.h"

#include <netdb.h>

#include <mutex>

namespace {
std::mutex mu;
std::string scripted;
std::vector<int> scriptedPorts;
}  // namespace

#if defined(VELK_LINKER_WRAP)
extern "C" int __real_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);

extern "C" int __wrap_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    std::vector<int> ports;
    {
        std::lock_guard<std::mutex> l(mu);
        if (node == nullptr || scripted.empty() || scripted != node) return __real_getaddrinfo(node, service, hints, res);
        ports = scriptedPorts;
    }
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (int port : ports) {
        const int r = __real_getaddrinfo("127.0.0.1", std::to_string(port).c_str(), hints, tail);
        if (r != 0) {
            if (head != nullptr) freeaddrinfo(head);
            return r;
        }
        while (*tail != nullptr) tail = &(*tail)->ai_next;
    }
    *res = head;
    return head != nullptr ? 0 : EAI_NONAME;
}
#endif

namespace velk {
namespace name_script {

bool available() {
#if defined(VELK_LINKER_WRAP)
    return true;
#else
    return false;
#endif
}

void answer(const std::string& name, const std::vector<int>& ports) {
    std::lock_guard<std::mutex> l(mu);
    scripted = name;
    scriptedPorts = ports;
}

}  // namespace name_script
}  // namespace velk
