#include "console.h"

#include "number_text.h"

namespace {
bool is_blank(int c) {
    return ::is_blank(static_cast<char>(c));
}
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
    std::string token;
    std::istream::int_type c;
    while ((c = in_.get()) != std::istream::traits_type::eof() && is_blank(c)) {
    }
    while (c != std::istream::traits_type::eof() && !is_blank(c)) {
        token.push_back(static_cast<char>(c));
        c = in_.get();
    }
    if (c != std::istream::traits_type::eof()) in_.unget();
    if (token.empty()) throw EndOfInput();
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
