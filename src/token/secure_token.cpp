#include "token/secure_token.h"

#include "common/process_state.h"
#include "common/strings.h"
#include "rules/path_rule.h"
#include "rules/program_rule.h"
#include "token/program_chain.h"

namespace kvn {

namespace {
constexpr char16_t kInitialConfigPath[] = u"A:\\kvn.ini";
constexpr char16_t kTracePath[] = u"C:\\Trace\\kvn.log";

// The fields of a mount record "<letter>|<container>|<program>"; empty unless there are three.
std::vector<std::u16string> RecordFields(const std::u16string& record) {
  std::vector<std::u16string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t bar = record.find(u'|', start);
    fields.push_back(record.substr(start, bar - start));
    if (bar == std::u16string::npos) break;
    start = bar + 1;
  }
  if (fields.size() != 3) fields.clear();
  return fields;
}
bool Judged(const ChainVerdict& chain) { return chain.why == nullptr && chain.complete; }
}  // namespace

SecureToken::SecureToken(os::TokenPlatform& platform)
    : platform_(platform), serviceMode_(!process.debugMode) {
  CopyBounded(configPath, kInitialConfigPath);
  tokenPresent = false;
  traceEnabled = process.debugMode;
  if (traceEnabled) {
    CopyBounded(tracePath, kTracePath);
    trace.Attach(platform_.OpenTrace(tracePath));
    TraceLine("SecureToken construktor!");
  }
}

SecureToken::~SecureToken() {
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  if (traceEnabled) {
    TraceLine("SecureToken implicite destructor!");
    trace.Close();
  }
}

void SecureToken::Append(std::u16string& line, const char* text) {
  for (; *text != '\0'; ++text) line += static_cast<char16_t>(static_cast<unsigned char>(*text));
}
void SecureToken::Append(std::u16string& line, const char16_t* text) { line += text; }
void SecureToken::Append(std::u16string& line, const std::u16string& text) { line += text; }
void SecureToken::Append(std::u16string& line, std::uint64_t number) { line += Decimal(number); }

void SecureToken::Report(EventKind kind, std::vector<std::u16string> strings) {
  if (reportEvent) reportEvent(Event{kind, std::move(strings)});
}

// The record is only ever written by this program, into a key that only administrators and
// SYSTEM may change; still, what it names is started as SYSTEM, so it is held to the rules a
// stick's values are held to. One that cannot be read counts as none.
void SecureToken::ReadMountRecord() {
  std::u16string record;
  const os::TokenPlatform::RecordRead read = platform_.ReadMountRecord(record);
  if (read == os::TokenPlatform::RecordRead::kAbsent ||
      read == os::TokenPlatform::RecordRead::kFailed) {
    return;
  }
  std::vector<std::u16string> fields;
  if (read == os::TokenPlatform::RecordRead::kPresent) fields = RecordFields(record);
  if (!fields.empty()) {
    const std::u16string& program = fields[2];
    const std::u16string full = platform_.FullPathName(program.c_str());
    const std::u16string longPath = platform_.LongPathName(full.c_str());
    const bool valid =
        fields[0].size() == 1 && fields[0][0] >= u'A' && fields[0][0] <= u'Z' &&
        !fields[1].empty() && DriveAbsoluteRefusal(fields[1]) == nullptr && !program.empty() &&
        DriveAbsoluteRefusal(program) == nullptr && PlainPathRefusal(program) == nullptr &&
        InstalledProgramRefusal(longPath, platform_.ProgramFilesFolders()) == nullptr &&
        Judged(JudgeProgramChain(platform_, longPath));
    if (valid) {
      leftover_ = fields;
      return;
    }
  }
  platform_.DeleteMountRecord();
  Report(events::kRecordCleared,
         {read == os::TokenPlatform::RecordRead::kPresent ? record : u"(not a string)"});
}

}  // namespace kvn
