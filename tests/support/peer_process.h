// Peer programs for the network tests (socat, ser2net): finding them, a free
// TCP port on 127.0.0.1, starting one with its output to a file and stopping
// it. Header-only, without GoogleTest, for the library's and velkcom's tests.
#ifndef VELK_TESTS_SUPPORT_PEER_PROCESS_H
#define VELK_TESTS_SUPPORT_PEER_PROCESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace velk {

// The program's path from PATH or the sbin folders (ser2net lives in
// /usr/sbin); empty when it is not installed.
inline std::string findProgram(const std::string& name) {
    const char* env = std::getenv("PATH");
    const std::string path = std::string(env != nullptr ? env : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// A TCP port of 127.0.0.1 that was free a moment ago (-1 on failure).
inline int freeTcpPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

// Runs args[0] with args; standard input from `in` (else /dev/null), output
// and errors to `out` (else /dev/null). Returns the child's pid, or -1.
// Descriptors the caller made close-on-exec stay out of the child.
inline pid_t spawnPeer(const std::vector<std::string>& args, int in = -1, int out = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        dup2(in >= 0 ? in : null, 0);
        dup2(out >= 0 ? out : null, 1);
        dup2(out >= 0 ? out : null, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// As spawnPeer, with output and errors written to the file at logPath.
inline pid_t spawnPeerLogged(const std::vector<std::string>& args, const std::string& logPath) {
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = spawnPeer(args, -1, log);
    if (log >= 0) ::close(log);
    return pid;
}

inline void stopPeer(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_PEER_PROCESS_H
