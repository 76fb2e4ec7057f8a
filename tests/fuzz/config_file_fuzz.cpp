// Arbitrary bytes as a configuration file. A load must never fault or leak, only an empty
// input may fail, and every answer must keep the reader's promises: values are cut of
// their blanks and never span a line, and a look-up in other letter case (A..Z) finds the
// very same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/strings.h"
#include "config/config_file.h"
#include "os/host.h"

namespace {

bool IsBlank(char16_t unit) {
  return unit == u' ' || unit == u'\t' || unit == u'\n' || unit == u'\r';
}

std::u16string SwapAsciiCase(std::u16string text) {
  for (char16_t& unit : text) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z')) unit ^= 0x20;
  }
  return text;
}

void Check(bool promise) {
  if (!promise) std::abort();
}

void Ask(const kvn::ConfigFile& config, const std::u16string& section, const std::u16string& key) {
  const char16_t* value = config.GetValue(section.c_str(), key.c_str());
  if (value != nullptr) {
    const std::size_t length = kvn::Length(value);  // must end inside the text
    Check(length == 0 || (!IsBlank(value[0]) && !IsBlank(value[length - 1])));
    for (std::size_t i = 0; i < length; ++i) Check(value[i] != u'\n');
  }
  Check(config.GetValue(SwapAsciiCase(section).c_str(), SwapAsciiCase(key).c_str()) == value);
}

// `bytes` in the ANSI code page, cut of blanks at both ends.
std::u16string Name(std::string_view bytes) {
  std::u16string name(bytes.size(), u'\0');
  if (!bytes.empty()) {
    kvn::os::AnsiToUtf16(bytes.data(), static_cast<int>(bytes.size()), name.data(),
                         static_cast<int>(name.size()));
  }
  while (!name.empty() && IsBlank(name.back())) name.pop_back();
  std::size_t start = 0;
  while (start < name.size() && IsBlank(name[start])) ++start;
  return name.substr(start);
}

// Asks for the usual names and for up to four sections and keys the input seems to hold,
// found the simple way: "[...]" and "...=" per line.
void AskAround(const kvn::ConfigFile& config, std::string_view text) {
  std::vector<std::u16string> sections = {u"", u"Truecrypt", u"Config"};
  std::vector<std::u16string> keys = {u"Truecrypt", u"Key", u"Container", u"TargetDrive",
                                      u"IfUsed"};
  const std::size_t most = sections.size() + 4, mostKeys = keys.size() + 4;
  while (!text.empty() && (sections.size() < most || keys.size() < mostKeys)) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;
    line.remove_prefix(first);
    if (line[0] == '[') {
      if (sections.size() < most) sections.push_back(Name(line.substr(1, line.find(']') - 1)));
    } else if (const std::size_t equals = line.find('='); equals != std::string_view::npos) {
      if (keys.size() < mostKeys) keys.push_back(Name(line.substr(0, equals)));
    }
  }
  for (const std::u16string& section : sections) {
    for (const std::u16string& key : keys) Ask(config, section, key);
  }
  Check(config.GetValue(nullptr, u"Key") == nullptr);
  Check(config.GetValue(u"Config", nullptr) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kvn::ConfigFile config;
  // Windows-1252 maps every byte, so only an input without a byte has nothing to convert.
  Check(config.LoadText(input.data(), input.size()) == (input.empty() ? 22 : 0));
  AskAround(config, input);

  // A second load replaces the first; a map entry left pointing into the first text would
  // be a use after free here.
  if (input.size() >= 2) {
    const std::string_view half = input.substr(input.size() / 2);
    Check(config.LoadText(half.data(), half.size()) == 0);
    AskAround(config, half);
  }
  return 0;
}
