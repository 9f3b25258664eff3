// A stand-in for mbim-proxy on its abstract socket that stops reading once
// its client has opened the device: the one way a proxy can fail that the
// real one cannot be made to show. It serves one client, answers libmbim's
// proxy configuration (a COMMAND of the proxy-control service) and OPEN, and
// shuts its reading side before OPEN_DONE goes out. From then on every write
// of the client fails with EPIPE, raising SIGPIPE in the writing thread,
// while the client sees no hang-up: its socket stays open, and quiet.
#ifndef TESTS_SUPPORT_DEAF_MBIM_PROXY_H
#define TESTS_SUPPORT_DEAF_MBIM_PROXY_H

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "wire.h"

namespace mbimtest {

class DeafProxy {
public:
    // Usable() is false when this test may not stand in for the proxy: not
    // root, or the socket is taken (a real proxy runs).
    DeafProxy() {
        if (geteuid() != 0) {
            why_ = "standing in for mbim-proxy needs root";
            return;
        }
        static const char kName[] = "mbim-proxy";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);  // abstract: a leading NUL
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kName);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            listen(listener_, 1) != 0 || pipe2(stop_, O_CLOEXEC) != 0) {
            why_ = std::string("cannot listen on @mbim-proxy: ") + std::strerror(errno);
            return;
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~DeafProxy() {
        if (thread_.joinable()) {
            const char stop = 0;
            (void)!write(stop_[1], &stop, 1);
            thread_.join();
        }
        for (int fd : {client_, listener_, stop_[0], stop_[1]})
            if (fd >= 0) close(fd);
    }
    DeafProxy(const DeafProxy&) = delete;
    DeafProxy& operator=(const DeafProxy&) = delete;

    bool Usable() const { return why_.empty(); }
    const std::string& Why() const { return why_; }
    // The client configured the proxy, opened the device and was cut off.
    bool Deafened() const { return deafened_; }

private:
    // False on the stop, a time-out or the client's hang-up.
    bool WaitReadable(int fd) const {
        pollfd waits[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return poll(waits, 2, 20000) > 0 && waits[1].revents == 0 && (waits[0].revents & POLLIN) != 0;
    }

    bool ReadExactly(std::string& bytes, size_t size) const {
        while (bytes.size() < size) {
            char chunk[512];
            if (!WaitReadable(client_)) return false;
            const ssize_t got = read(client_, chunk, std::min(sizeof chunk, size - bytes.size()));
            if (got <= 0) return false;
            bytes.append(chunk, static_cast<size_t>(got));
        }
        return true;
    }

    bool ReadMessage(std::string& message) const {
        message.clear();
        if (!ReadExactly(message, emulator::kHeaderSize)) return false;
        const uint32_t length = emulator::GetU32(message, 4);
        return length >= emulator::kHeaderSize && length <= 4096 && ReadExactly(message, length);
    }

    void Send(const std::string& message) const { (void)!send(client_, message.data(), message.size(), MSG_NOSIGNAL); }

    void Serve() {
        if (!WaitReadable(listener_)) return;
        client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        emulator::Uuid proxyControl{};
        emulator::ParseUuid("838cf7fb-8d0d-4d7f-871e-d71dbefbb39b", proxyControl);
        constexpr uint32_t kCidConfiguration = 1;
        constexpr size_t kStream = emulator::kHeaderSize + emulator::kFragmentHeaderSize;
        bool configured = false;
        std::string message;
        while (client_ >= 0 && ReadMessage(message)) {
            const uint32_t type = emulator::GetU32(message, 0);
            const uint32_t tid = emulator::GetU32(message, 8);
            if (type == emulator::kCommand && message.size() >= kStream + emulator::kCommandStreamFixed &&
                emulator::GetUuid(message, kStream) == proxyControl &&
                emulator::GetU32(message, kStream + 16) == kCidConfiguration) {
                const std::string stream =
                    emulator::CommandDoneStream(proxyControl, kCidConfiguration, emulator::kStatusSuccess, "");
                Send(emulator::Fragment(emulator::kCommandDone, tid, stream, 4096).front());
                configured = true;
            } else if (type == emulator::kOpen && configured) {
                shutdown(client_, SHUT_RD);
                Send(emulator::SimpleMessage(emulator::kOpenDone, tid, emulator::kStatusSuccess));
                deafened_ = true;
                return;  // the client stays connected until the destructor
            }
        }
    }

    int listener_ = -1;
    int client_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<bool> deafened_{false};
    std::string why_;
    std::thread thread_;
};

}  // namespace mbimtest

#endif
