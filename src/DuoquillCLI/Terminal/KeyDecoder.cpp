#include "DuoquillCLI/Terminal/KeyDecoder.h"

namespace duoquill::cli {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr unsigned char kEscape = 0x1B;

Key control(KeyKind kind) { return Key{kind, 0}; }

}  // namespace

KeyDecoder::Keys KeyDecoder::add(unsigned char byte) {
    Keys out;
    switch (state_) {
        case State::ground:
            ground(byte, out);
            break;
        case State::utf8:
            if (byte < lower_ || byte > upper_) {
                // The character is cut off; the byte starts whatever comes next.
                out.push(Key{KeyKind::character, kReplacement});
                state_ = State::ground;
                ground(byte, out);
                break;
            }
            code_ = (code_ << 6) | (byte & 0x3F);
            lower_ = 0x80;
            upper_ = 0xBF;
            if (--utf8Left_ == 0) {
                out.push(Key{KeyKind::character, code_});
                state_ = State::ground;
            }
            break;
        case State::escape:
            if (byte == '[') {
                state_ = State::csi;
                parameter_ = 0;
                secondParameter_ = false;
            } else if (byte == 'O') {
                state_ = State::ss3;
            } else {
                // Alt with a key: nothing the editor does. A control or a non-ASCII byte is a
                // key of its own.
                state_ = State::ground;
                if (byte < 0x20 || byte >= 0x7F) ground(byte, out);
            }
            break;
        case State::csi:
            if (byte >= '0' && byte <= '9') {
                if (!secondParameter_ && parameter_ < 1000) parameter_ = parameter_ * 10 + (byte - '0');
            } else if (byte == ';') {
                secondParameter_ = true;
            } else if (byte >= 0x20 && byte <= 0x3F) {
                // other parameter and intermediate bytes: part of a sequence the editor ignores
            } else if (byte >= 0x40 && byte <= 0x7E) {
                state_ = State::ground;
                finishCsi(byte, out);
            } else {
                state_ = State::ground;
                ground(byte, out);
            }
            break;
        case State::ss3:
            state_ = State::ground;
            if (byte >= 0x40 && byte <= 0x7E) {
                parameter_ = 0;
                finishCsi(byte, out);
            } else {
                ground(byte, out);
            }
            break;
    }
    return out;
}

KeyDecoder::Keys KeyDecoder::giveUp() {
    Keys out;
    if (state_ == State::utf8) out.push(Key{KeyKind::character, kReplacement});
    state_ = State::ground;
    return out;
}

void KeyDecoder::ground(unsigned char byte, Keys& out) {
    if (byte >= 0x20 && byte < 0x7F) {
        out.push(Key{KeyKind::character, byte});
        return;
    }
    if (byte >= 0x80) {
        // Lead bytes, with the range of the second byte that keeps the form shortest and the
        // value a scalar below U+110000.
        lower_ = 0x80;
        upper_ = 0xBF;
        if (byte >= 0xC2 && byte <= 0xDF) {
            utf8Left_ = 1;
            code_ = byte & 0x1F;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            utf8Left_ = 2;
            code_ = byte & 0x0F;
            if (byte == 0xE0) lower_ = 0xA0;
            if (byte == 0xED) upper_ = 0x9F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            utf8Left_ = 3;
            code_ = byte & 0x07;
            if (byte == 0xF0) lower_ = 0x90;
            if (byte == 0xF4) upper_ = 0x8F;
        } else {
            out.push(Key{KeyKind::character, kReplacement});
            return;
        }
        state_ = State::utf8;
        return;
    }
    switch (byte) {
        case 0x01: out.push(control(KeyKind::home)); break;
        case 0x02: out.push(control(KeyKind::left)); break;
        case 0x03: out.push(control(KeyKind::interrupt)); break;
        case 0x04: out.push(control(KeyKind::endOfFile)); break;
        case 0x05: out.push(control(KeyKind::end)); break;
        case 0x06: out.push(control(KeyKind::right)); break;
        case 0x08: out.push(control(KeyKind::backspace)); break;
        case '\t': out.push(Key{KeyKind::character, '\t'}); break;
        case '\n':
        case '\r': out.push(control(KeyKind::enter)); break;
        case 0x0B: out.push(control(KeyKind::killToEnd)); break;
        case 0x0C: out.push(control(KeyKind::redraw)); break;
        case 0x0E: out.push(control(KeyKind::down)); break;
        case 0x10: out.push(control(KeyKind::up)); break;
        case 0x15: out.push(control(KeyKind::killLine)); break;
        case 0x17: out.push(control(KeyKind::killWord)); break;
        case 0x7F: out.push(control(KeyKind::backspace)); break;
        case kEscape: state_ = State::escape; break;
        default: break;  // a control key the editor does not use
    }
}

void KeyDecoder::finishCsi(unsigned char final, Keys& out) {
    switch (final) {
        case 'A': out.push(control(KeyKind::up)); break;
        case 'B': out.push(control(KeyKind::down)); break;
        case 'C': out.push(control(KeyKind::right)); break;
        case 'D': out.push(control(KeyKind::left)); break;
        case 'H': out.push(control(KeyKind::home)); break;
        case 'F': out.push(control(KeyKind::end)); break;
        case '~':
            switch (parameter_) {
                case 1:
                case 7: out.push(control(KeyKind::home)); break;
                case 4:
                case 8: out.push(control(KeyKind::end)); break;
                case 3: out.push(control(KeyKind::deleteForward)); break;
                default: break;  // Insert, Page Up, function keys, a paste's brackets
            }
            break;
        default: break;
    }
}

}  // namespace duoquill::cli
