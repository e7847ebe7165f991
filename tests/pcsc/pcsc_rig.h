// A real pcscd with the vpcd virtual reader driver, started and stopped by the tests, and a
// virtual card: a small client of vpcd's protocol. Connected, the card is in the reader;
// disconnected, it is out.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <sys/types.h>

// vpcd's two readers wait for a card on these ports.
constexpr int kFirstReaderPort = 35963;
constexpr int kSecondReaderPort = 35964;

class PcscDaemon {
public:
    ~PcscDaemon() { stop(); }
    // Starts pcscd in the foreground and waits until its socket answers; false on failure, and
    // when a pcscd that the tests did not start holds the socket.
    bool start();
    // A pcscd of the machine (the user's card service, another run's) answers on the socket.
    static bool machineHasOne();
    void stop();
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

class VirtualCard {
public:
    explicit VirtualCard(int port) : port_(port) {}
    ~VirtualCard() { remove(); }
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;

    // Connects to the reader's port (retrying for a few seconds while vpcd comes up).
    bool insert();
    void remove();

private:
    void serve();

    int port_;
    int socket_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread server_;
};

// Polls `condition` every 20 ms for up to `seconds`.
bool eventually(const std::function<bool()>& condition, double seconds = 5.0);
