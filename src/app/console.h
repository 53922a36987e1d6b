// The dialogue's answer reader: prompts on one stream, white-space separated answers from
// another, and the ask-again loops for answers that cannot be used.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <istream>
#include <string>

#include "base/failure.h"

namespace terrapivoter {

// Standard input ended before the question was answered.
struct EndOfInput : Failure {
    EndOfInput() : Failure("standard input ended before the dialogue was complete") {}
};

inline constexpr const char* kInvalidAnswer = "\n\tInvalid answer, please try again.";

class Console {
  public:
    using Prompt = std::initializer_list<const char*>;

    Console(std::istream& in, std::FILE* out) : in_(in), out_(out) {}

    void say(const char* text);
    void say(const std::string& text) { say(text.c_str()); }

    // Prints the prompt, then takes the next token as it stands, whatever its bytes.
    std::string ask_name(Prompt prompt);

    // Asks until the answer is a whole number from 0 to `largest`. An unreadable answer is
    // refused with a message and the rest of its line is dropped; a number outside the range
    // just repeats the question.
    int32_t ask_choice(Prompt prompt, int32_t largest);

    // Asks until the answer is a finite number.
    double ask_number(Prompt prompt);

  private:
    void show(Prompt prompt);
    std::string next_token();
    void refuse_answer();

    std::istream& in_;
    std::FILE* out_;
};

}  // namespace terrapivoter
