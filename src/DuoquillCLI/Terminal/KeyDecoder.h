#pragma once
// The bytes a terminal sends for the keys of the line editor, turned into keys: UTF-8
// characters, control keys and the escape sequences of the arrow and editing keys. Invalid
// UTF-8 comes out as U+FFFD; sequences of keys the editor has no use for come out as nothing.

#include <array>
#include <cstddef>
#include <cstdint>

namespace duoquill::cli {

enum class KeyKind : std::uint8_t {
    character,
    enter,
    backspace,
    deleteForward,
    left,
    right,
    home,
    end,
    up,
    down,
    killToEnd,
    killLine,
    killWord,
    endOfFile,  // Ctrl-D
    interrupt,  // Ctrl-C when the terminal hands it over as a byte
    redraw,     // Ctrl-L
};

struct Key {
    KeyKind kind = KeyKind::character;
    char32_t character = 0;
};

class KeyDecoder {
public:
    // At most two keys come out of one byte: a cut-off character and the key the byte begins.
    struct Keys {
        std::array<Key, 2> keys{};
        std::size_t count = 0;
        void push(Key key) { keys[count++] = key; }
    };

    Keys add(unsigned char byte);
    // The rest of a key never came: a cut-off character becomes U+FFFD, a lone Esc or a partial
    // sequence is dropped.
    Keys giveUp();
    // Whether a key is begun and not finished.
    bool pending() const { return state_ != State::ground; }

private:
    enum class State : std::uint8_t { ground, utf8, escape, csi, ss3 };

    void ground(unsigned char byte, Keys& out);
    void finishCsi(unsigned char final, Keys& out);

    State state_ = State::ground;
    char32_t code_ = 0;
    int utf8Left_ = 0;
    unsigned char lower_ = 0x80, upper_ = 0xBF;  // the range the next continuation byte must be in
    int parameter_ = 0;      // the first number of a CSI sequence, capped
    bool secondParameter_ = false;
};

}  // namespace duoquill::cli
