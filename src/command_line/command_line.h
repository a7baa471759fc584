// A Windows command line: the one string a process is started with, which the child's C
// run-time splits into its argument vector. The writing here and the splitting here are each
// other's inverse, so a vector written by the launcher or the runner arrives unchanged.
//
// The program name (argument 0) follows a rule of its own, the one that the C run-time and
// CommandLineToArgvW apply: it runs to the first blank or tab outside double quotes, every
// double quote only switches the quoted state and is dropped, and backslashes are always
// literal. The other arguments have escapes: 2n backslashes before a double quote give n
// backslashes and the quote switches the quoted state (inside quotes, two quotes in a row give
// one literal quote); 2n + 1 backslashes before it give n backslashes and a literal quote;
// other backslashes are literal; blanks and tabs outside quotes separate arguments.
//
//   line                               argument 0                 the rest
//   "C:\Program Files\app.exe" a b     C:\Program Files\app.exe   a, b
//   C:\dir\app.exe "a b" ""            C:\dir\app.exe             a b, (empty)
//   "C:\dir\\" x\\"y z"                C:\dir\\                   x\y z
//   C:\a\"b c"\app.exe \"q             C:\a\b c\app.exe           "q
//    x   (a blank first)               (empty)                    x
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace command_line {

// CreateProcessW takes a line of at most 32,767 characters with its terminator.
inline constexpr std::size_t longest_line = 32766;

// A terminated line in a fixed buffer. A character that would leave no room for the terminator
// is not written and marks the line too long: a line built from the user's arguments that does
// not fit is the user's input, not a fault of ours.
struct Line {
  char16_t* text;
  std::size_t capacity;
  std::size_t length = 0;
  bool too_long = false;

  void put(char16_t c);
  void put(char16_t c, std::size_t count);
};

// Appends a program name so that the program-name rule gives it back: in quotes when it needs
// them, never escaped. A double quote cannot pass that rule; Windows names hold none.
void append_program_name(Line& line, const char16_t* name);
// Appends one argument after the program name so that the splitter gives it back unchanged.
void append_argument(Line& line, const char16_t* argument);
// Writes the program name first and then vector[1 .. count - 1], separated by blanks; the line
// starts empty. False when the line does not fit.
bool compose(Line& line, const char16_t* program, int count, char16_t* const* vector);

// The argument vector of a line as the C run-time splits it, the program name first (empty
// when the line is, or starts with a blank).
std::vector<std::u16string> split(std::u16string_view line);

}  // namespace command_line
