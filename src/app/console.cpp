#include "app/console.h"

#include "base/tokens.h"
#include "formats/number_text.h"

namespace terrapivoter {

namespace {

struct StreamSource {
    std::istream& in;

    int get() {
        const auto c = in.get();
        return c == std::istream::traits_type::eof() ? -1 : static_cast<unsigned char>(c);
    }
    void unget(int) { in.unget(); }
};

}  // namespace

void Console::say(const char* text) {
    std::fputs(text, out_);
}

void Console::show(Prompt prompt) {
    for (const char* text : prompt)
        std::fputs(text, out_);
    // The person at the terminal must see the question before we wait for the answer.
    std::fflush(out_);
}

std::string Console::next_token() {
    StreamSource source{in_};
    std::string token;
    if (!next_word(source, token)) throw EndOfInput();
    return token;
}

void Console::refuse_answer() {
    std::fputs(kInvalidAnswer, out_);
    std::istream::int_type c;
    while ((c = in_.get()) != std::istream::traits_type::eof() && c != '\n') {
    }
}

std::string Console::ask_name(Prompt prompt) {
    show(prompt);
    return next_token();
}

int32_t Console::ask_choice(Prompt prompt, int32_t largest) {
    for (;;) {
        show(prompt);
        auto choice = parse_int32_token(next_token());
        if (!choice) {
            refuse_answer();
        } else if (*choice >= 0 && *choice <= largest) {
            return *choice;
        }
    }
}

double Console::ask_number(Prompt prompt) {
    for (;;) {
        show(prompt);
        if (auto number = parse_real_token(next_token())) return *number;
        refuse_answer();
    }
}

}  // namespace terrapivoter
