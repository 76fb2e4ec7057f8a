#include "rules/command_line.h"

namespace kvn {

namespace {

bool NeedsQuotes(std::u16string_view argument) {
  return argument.empty() || argument.find_first_of(u" \t\n\v\"") != std::u16string_view::npos;
}

}  // namespace

void AppendProgramName(std::u16string& commandLine, std::u16string_view program) {
  const bool quote = program.empty() || program.find_first_of(u" \t") != std::u16string_view::npos;
  if (quote) commandLine.push_back(u'"');
  for (const char16_t unit : program) {
    if (unit != u'"') commandLine.push_back(unit);
  }
  if (quote) commandLine.push_back(u'"');
}

void AppendArgument(std::u16string& commandLine, std::u16string_view argument) {
  if (!NeedsQuotes(argument)) {
    commandLine.append(argument);
    return;
  }
  commandLine.push_back(u'"');
  std::size_t i = 0;
  for (;;) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == u'\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      // The closing quote follows: every backslash before it is doubled.
      commandLine.append(backslashes * 2, u'\\');
      break;
    }
    if (argument[i] == u'"') {
      commandLine.append(backslashes * 2 + 1, u'\\');
    } else {
      commandLine.append(backslashes, u'\\');
    }
    commandLine.push_back(argument[i]);
    ++i;
  }
  commandLine.push_back(u'"');
}

std::u16string BuildCommandLine(std::u16string_view program,
                                std::initializer_list<std::u16string_view> arguments) {
  std::u16string commandLine;
  AppendProgramName(commandLine, program);
  for (const std::u16string_view argument : arguments) {
    commandLine.push_back(u' ');
    AppendArgument(commandLine, argument);
  }
  return commandLine;
}

}  // namespace kvn
