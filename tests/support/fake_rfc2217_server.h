// A scripted RFC 2217 server for tests: a TCP listener on 127.0.0.1 on a free
// port, serving one connection at a time from a thread of its own. It parses
// what the client sends (data, option negotiation, Com Port Control requests)
// and answers as the test sets it up: agree to COM-PORT-OPTION or not, answer
// each request with its own value, another value or nothing (an answerer may
// take its time; the server reads nothing meanwhile). The test reads what
// arrived and sends raw bytes (notifications, garbage, data) at will, or as
// many as the client's window takes within a time, or closes the connection
// (FIN or RST); it can stream bytes from the moment a client connects, stop
// reading (the TCP window then shuts), and tell how the client ended the
// connection (FIN or RST).
#ifndef VELK_TESTS_SUPPORT_FAKE_RFC2217_SERVER_H
#define VELK_TESTS_SUPPORT_FAKE_RFC2217_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/wait_until.h"

namespace velk {

class FakeRfc2217Server {
public:
    using Bytes = std::vector<std::uint8_t>;
    // Given a request (command code and value), returns the whole answer to
    // send (empty: no answer). The default answers code + 100 with the value.
    using Answerer = std::function<Bytes(std::uint8_t command, const Bytes& value)>;

    // silent: a server that accepts and then never sends anything.
    explicit FakeRfc2217Server(bool silent = false) : silent_(silent) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0) {
            ::close(listener_);
            listener_ = -1;
            return;
        }
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeRfc2217Server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        closeClient();
        if (listener_ >= 0) ::close(listener_);
    }
    FakeRfc2217Server(const FakeRfc2217Server&) = delete;
    FakeRfc2217Server& operator=(const FakeRfc2217Server&) = delete;

    bool listening() const { return listener_ >= 0; }
    int port() const { return port_; }
    std::string url(const std::string& scheme = "rfc2217", const std::string& options = "") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + (options.empty() ? "" : "?" + options);
    }

    // Set before the client connects.
    void refuseComPort() { refuseComPort_ = true; }
    void sendOnConnect(Bytes greeting) { greeting_ = std::move(greeting); }
    // While held, nothing the client sends is read.
    void holdReading(bool hold) { hold_ = hold; }
    // The client's FIN does not end the connection: the server may go on
    // sending until the client closes it for good.
    void outliveClientFin() { outliveFin_ = true; }
    // How the client's side ended: 0 not yet, 1 FIN, 2 RST or another error.
    int clientEnd() const { return end_; }
    std::size_t dataSize() {
        std::lock_guard<std::mutex> l(mu_);
        return data_.size();
    }
    void setAnswerer(Answerer a) {
        std::lock_guard<std::mutex> l(mu_);
        answerer_ = std::move(a);
    }

    // Sends raw bytes to the connected client (waits up to 5 s for one).
    bool send(const Bytes& bytes) {
        if (!waitUntil([&] { return client_.load() >= 0; })) return false;
        std::lock_guard<std::mutex> l(sendMu_);
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t r = ::send(client_.load(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (r <= 0) return false;
            done += static_cast<std::size_t>(r);
        }
        return true;
    }
    // Sends what the client's window takes of the bytes within `limit`;
    // returns how many went to the kernel.
    std::size_t sendWithin(const Bytes& bytes, std::chrono::milliseconds limit) {
        if (!waitUntil([&] { return client_.load() >= 0; })) return 0;
        std::lock_guard<std::mutex> l(sendMu_);
        const auto end = std::chrono::steady_clock::now() + limit;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t r =
                ::send(client_.load(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
                continue;
            }
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p = {client_.load(), POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        }
        return done;
    }
    // IAC SB 44 code value IAC SE, with 255 doubled in the value.
    static Bytes subneg(std::uint8_t code, const Bytes& value) {
        Bytes m = {255, 250, 44, code};
        for (std::uint8_t b : value) {
            m.push_back(b);
            if (b == 255) m.push_back(255);
        }
        m.push_back(255);
        m.push_back(240);
        return m;
    }
    void closeClient() {
        std::lock_guard<std::mutex> l(sendMu_);
        const int fd = client_.exchange(-1);
        if (fd >= 0) ::close(fd);
    }
    // The bytes sent that the client's kernel has not acknowledged yet.
    int unacknowledged() {
        std::lock_guard<std::mutex> l(sendMu_);
        int n = 0;
        return client_.load() >= 0 && ::ioctl(client_.load(), TIOCOUTQ, &n) == 0 ? n : -1;
    }
    // Ends the connection with RST instead of FIN (SO_LINGER 0).
    void resetClient() {
        std::lock_guard<std::mutex> l(sendMu_);
        const int fd = client_.exchange(-1);
        if (fd < 0) return;
        const linger abort = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd);
    }

    // What the client sent: its data bytes, and its requests as
    // {command, value...}.
    Bytes data() {
        std::lock_guard<std::mutex> l(mu_);
        return data_;
    }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> l(mu_);
        return requests_;
    }
    bool sawRequest(const Bytes& request) {
        for (const Bytes& r : requests()) {
            if (r == request) return true;
        }
        return false;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p[2] = {{listener_, POLLIN, 0}, {hold_ || clientEof_ ? -1 : client_.load(), POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0) continue;
            if (p[0].revents & POLLIN) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    closeClient();
                    state_ = 0;
                    end_ = 0;
                    clientEof_ = false;
                    client_ = fd;
                    if (!greeting_.empty()) send(greeting_);
                }
                continue;
            }
            if (p[1].fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::uint8_t buf[4096];
                const ssize_t r = ::recv(p[1].fd, buf, sizeof buf, MSG_DONTWAIT);
                if (r <= 0) {
                    end_ = r == 0 ? 1 : 2;
                    if (r == 0 && outliveFin_) {
                        clientEof_ = true;
                        continue;
                    }
                    if (client_.load() == p[1].fd) closeClient();
                    continue;
                }
                for (ssize_t i = 0; i < r; ++i) parse(buf[i]);
                std::lock_guard<std::mutex> l(mu_);
                data_.insert(data_.end(), chunk_.begin(), chunk_.end());
                chunk_.clear();
            }
        }
    }

    // The client's stream, one byte at a time.
    void parse(std::uint8_t b) {
        switch (state_) {
        case 0:  // data
            if (b == 255) {
                state_ = 1;
            } else {
                push(b);
            }
            break;
        case 1:  // after IAC
            if (b == 255) {
                push(b);
                state_ = 0;
            } else if (b >= 251 && b <= 254) {
                verb_ = b;
                state_ = 2;
            } else if (b == 250) {
                sb_.clear();
                state_ = 3;
            } else {
                state_ = 0;
            }
            break;
        case 2:  // option of a negotiation
            if (verb_ == 251 && b == 44 && !silent_) send({255, static_cast<std::uint8_t>(refuseComPort_ ? 254 : 253), 44});
            state_ = 0;
            break;
        case 3:  // inside a subnegotiation
            if (b == 255) {
                state_ = 4;
            } else {
                sb_.push_back(b);
            }
            break;
        case 4:  // IAC inside a subnegotiation
            if (b == 255) {
                sb_.push_back(b);
                state_ = 3;
            } else {
                state_ = 0;
                if (b == 240 && sb_.size() >= 2 && sb_[0] == 44) request();
            }
            break;
        }
    }
    void push(std::uint8_t b) { chunk_.push_back(b); }  // the server thread's own; kept in data_ per read
    void request() {
        const std::uint8_t command = sb_[1];
        const Bytes value(sb_.begin() + 2, sb_.end());
        Bytes reply;
        {
            std::lock_guard<std::mutex> l(mu_);
            // The data that came before the request is kept before it is
            // seen: a test that saw the request reads all of that data.
            data_.insert(data_.end(), chunk_.begin(), chunk_.end());
            chunk_.clear();
            Bytes r = {command};
            r.insert(r.end(), value.begin(), value.end());
            requests_.push_back(r);
            if (silent_) return;
            reply = answerer_ ? answerer_(command, value)
                              : subneg(static_cast<std::uint8_t>(command + 100), value);
        }
        if (!reply.empty()) send(reply);
    }

    bool silent_;
    bool refuseComPort_ = false;
    Bytes greeting_;
    std::atomic<bool> hold_{false};
    bool outliveFin_ = false;
    bool clientEof_ = false;  // the server thread's own
    std::atomic<int> end_{0};
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> client_{-1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::mutex sendMu_;
    Answerer answerer_;
    Bytes data_;
    Bytes chunk_;
    std::vector<Bytes> requests_;
    int state_ = 0;
    std::uint8_t verb_ = 0;
    Bytes sb_;
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_FAKE_RFC2217_SERVER_H
