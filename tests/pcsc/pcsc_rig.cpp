#include "pcsc_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {
constexpr char kSocketPath[] = "/run/pcscd/pcscd.comm";
// A plausible answer to reset for a contact card.
const std::vector<std::uint8_t> kAnswerToReset = {0x3B, 0x8A, 0x80, 0x01, 0x80, 0x31, 0x80, 0x65, 0xB0, 0x85, 0x04, 0x01, 0x11, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00, 0x8B};

bool readExactly(int socket, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(socket, data, size, 0);
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool sendMessage(int socket, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> message = {static_cast<std::uint8_t>(payload.size() >> 8),
                                         static_cast<std::uint8_t>(payload.size() & 0xFF)};
    message.insert(message.end(), payload.begin(), payload.end());
    return ::send(socket, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}
}  // namespace

bool eventually(const std::function<bool()>& condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

bool PcscDaemon::machineHasOne() {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (probe < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kSocketPath, sizeof address.sun_path - 1);
    const bool answered = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answered;
}

bool PcscDaemon::start() {
    if (running()) return true;
    // A socket file that no one answers on is a killed run's leftover; one that answers is not ours.
    if (machineHasOne()) return false;
    ::unlink(kSocketPath);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl("/usr/sbin/pcscd", "pcscd", "--foreground", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) return false;
    struct stat info {};
    return eventually([&info] { return ::stat(kSocketPath, &info) == 0; }, 10.0);
}

void PcscDaemon::stop() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool VirtualCard::insert() {
    remove();
    const bool connected = eventually([this] {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
        ::close(socket_);
        socket_ = -1;
        return false;
    }, 10.0);
    if (!connected) return false;
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    stopping_ = false;
    server_ = std::thread([this] { serve(); });
    return true;
}

void VirtualCard::remove() {
    if (socket_ < 0) return;
    stopping_ = true;
    ::shutdown(socket_, SHUT_RDWR);
    if (server_.joinable()) server_.join();
    ::close(socket_);
    socket_ = -1;
}

// Control messages of one byte (0 power off, 1 power on, 2 reset, 4 send the ATR); anything
// longer is a command, answered "instruction not supported".
void VirtualCard::serve() {
    while (!stopping_) {
        std::uint8_t header[2];
        if (!readExactly(socket_, header, 2)) return;
        std::vector<std::uint8_t> payload((header[0] << 8) | header[1]);
        if (!payload.empty() && !readExactly(socket_, payload.data(), payload.size())) return;
        if (payload.size() == 1 && payload[0] == 4) {
            if (!sendMessage(socket_, kAnswerToReset)) return;
        } else if (payload.size() > 1) {
            if (!sendMessage(socket_, {0x6D, 0x00})) return;
        }
    }
}
