// Child command lines that Windows splits back into exactly the arguments they were built
// from. A child started with CreateProcessW receives one string; CommandLineToArgvW and the
// MSVC C runtime split it by the same rules:
//   - the program name (argument 0) runs up to the first blank or tab, or, when it begins
//     with a quote, up to the next quote; backslashes are ordinary in it;
//   - every later argument ends at an unquoted blank or tab; a quote toggles quoting; 2n
//     backslashes before a quote give n backslashes and the quote toggles, 2n+1 give n
//     backslashes and a literal quote; backslashes before anything else are literal.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kvn {

// Appends `program` as argument 0: quoted when it is empty or holds a blank or tab. A quote
// cannot be carried in argument 0 and no Windows file name holds one; it is dropped, so
// that the arguments after it are still split as built.
void AppendProgramName(std::u16string& commandLine, std::u16string_view program);

// Appends `argument` so that it splits back as exactly one argument, unchanged. An argument
// without blanks, tabs, line breaks or quotes, and not empty, is appended as it stands.
void AppendArgument(std::u16string& commandLine, std::u16string_view argument);

// The program name followed by each argument, separated by single blanks.
std::u16string BuildCommandLine(std::u16string_view program,
                                std::initializer_list<std::u16string_view> arguments);

}  // namespace kvn
