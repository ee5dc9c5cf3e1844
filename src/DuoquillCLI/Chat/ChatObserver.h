#pragma once
// Told of every action of the chat's machine just before it is carried out: `chat --json`
// reports from there.

#include "DuoquillCLI/Chat/ChatMachine.h"

namespace duoquill::cli {

class ChatObserver {
public:
    virtual ~ChatObserver() = default;
    // `now`: the machine's state once the event has been handled.
    virtual void observe(const chat::Action& action, chat::Phase now) = 0;
};

}  // namespace duoquill::cli
