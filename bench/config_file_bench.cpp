// Loading a large configuration text: our reader against SimpleIni, both given the same
// bytes from memory, so that the figures compare conversion and parsing, not the disk.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#define SI_CONVERT_ICU
#include <SimpleIni.h>

#include "config/config_file.h"

namespace {

// A deterministic INI text of at least `megabytes` MB: many sections of many keys, comment
// lines, blank lines, indentation and blanks around "=", CR LF line ends.
std::string MakeText(std::size_t megabytes) {
  const std::size_t target = megabytes * 1000 * 1000;
  std::string text;
  text.reserve(target + 4096);
  std::uint32_t state = 0x2545F491u;  // xorshift32: value lengths vary, runs repeat
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (unsigned section = 0; text.size() < target; ++section) {
    if (section % 3 == 0) text += "; settings of group " + std::to_string(section / 3) + "\r\n";
    text += "[Section" + std::to_string(section) + "]\r\n";
    for (unsigned key = 0; key < 24; ++key) {
      if (key % 8 == 7) text += "  # the next keys belong together\r\n";
      text += (key % 4 == 0 ? "  Key" : "Key") + std::to_string(key) +
              (key % 2 == 0 ? " = " : "=") + "C:\\Program Files\\Vendor\\";
      text.append(4 + next() % 40, static_cast<char>('a' + next() % 26));
      text += "\\file" + std::to_string(section * 24 + key) + ".dat\r\n";
    }
    text += "\r\n";
  }
  return text;
}

const std::string& Text(std::int64_t megabytes) {
  static std::map<std::int64_t, std::string> texts;
  auto found = texts.find(megabytes);
  if (found == texts.end()) {
    found = texts.emplace(megabytes, MakeText(static_cast<std::size_t>(megabytes))).first;
  }
  return found->second;
}

// Both readers must see the same entries, or the comparison means nothing.
bool SameAnswers(const kvn::ConfigFile& ours, const CSimpleIniW& peer) {
  for (const char16_t* section : {u"Section0", u"section17", u"SECTION300"}) {
    for (const char16_t* key : {u"Key0", u"key7", u"KEY23"}) {
      const char16_t* a = ours.GetValue(section, key);
      const UChar* b = peer.GetValue(section, key, nullptr);
      if (a == nullptr || b == nullptr || std::u16string(a) != std::u16string(b)) return false;
    }
  }
  return true;
}

void Finish(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
  state.SetLabel(std::to_string(bytes) + " bytes");
}

void LoadKelvarn(benchmark::State& state) {
  const std::string& text = Text(state.range(0));
  for (auto _ : state) {
    kvn::ConfigFile config;
    if (config.LoadText(text.data(), text.size()) != 0) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(config.GetValue(u"Section1", u"Key1"));
  }
  Finish(state, text.size());
}

void LoadSimpleIni(benchmark::State& state) {
  const std::string& text = Text(state.range(0));
  {
    kvn::ConfigFile ours;
    CSimpleIniW peer(/*isUtf8=*/true, /*multiKey=*/false, /*multiLine=*/false);
    if (ours.LoadText(text.data(), text.size()) != 0 ||
        peer.LoadData(text.data(), text.size()) < 0 || !SameAnswers(ours, peer)) {
      state.SkipWithError("the two readers disagree");
      return;
    }
  }
  for (auto _ : state) {
    CSimpleIniW config(/*isUtf8=*/true, /*multiKey=*/false, /*multiLine=*/false);
    if (config.LoadData(text.data(), text.size()) < 0) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(config.GetValue(u"Section1", u"Key1", nullptr));
  }
  Finish(state, text.size());
}

BENCHMARK(LoadKelvarn)->Name("Kelvarn/LoadText")->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadSimpleIni)
    ->Name("SimpleIni/LoadData")
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
