#pragma once
// Told of every action of the chat's machine just before it is carried out (`chat --json`
// reports from there), and of every event it handled.

#include <cstddef>

#include "DuoquillCLI/Chat/ChatMachine.h"

namespace duoquill::cli {

class ChatObserver {
public:
    virtual ~ChatObserver() = default;
    // `now`: the machine's state once the event has been handled.
    virtual void observe(const chat::Action& action, chat::Phase now) = 0;
    // The machine has handled an event (`eventKind`: its index in chat::Event), before any of
    // its actions is carried out.
    virtual void handled(std::size_t eventKind, chat::Phase before, chat::Phase after) {
        (void)eventKind, (void)before, (void)after;
    }
};

}  // namespace duoquill::cli
