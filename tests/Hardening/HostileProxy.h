#pragma once
// A hostile network between real chat processes and the real relay, in the test process: a
// WebSocket server over TLS (the shared test certificates) for the clients, and for each
// client connection a plain WebSocket connection to the relay on the same path. While hostile,
// it draws from a fixed seed what to do with each frame in either direction: pass it, drop
// it, send it twice, hold it back, let the next one overtake it, cut it short, flip one of
// its bits, or add a frame of its own (a frame recorded earlier, a plain "bye" or
// "peer-disconnected"). Plain hellos are never bit-flipped: a hello naming another identity
// ends the client by design, so a relay forging one is no fault the clients can survive.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace duoquill::test {

class HostileProxy {
public:
    enum class Action { pass, drop, duplicate, delay, reorder, truncate, flipBit, inject };

    // `oneIn`: while hostile, about one frame in that many is disturbed, by each of the actions
    // other than pass in turn (in an order shuffled for every round).
    HostileProxy(std::uint16_t relayPort, std::uint64_t seed, int oneIn = 6);
    ~HostileProxy();
    HostileProxy(const HostileProxy&) = delete;
    HostileProxy& operator=(const HostileProxy&) = delete;

    // "wss://127.0.0.1:PORT": the clients trust the test CA.
    std::string url() const;
    void setHostile(bool hostile);

    // How often each action was taken, and how many client connections came.
    std::map<Action, std::size_t> actions() const;
    std::size_t connections() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace duoquill::test
