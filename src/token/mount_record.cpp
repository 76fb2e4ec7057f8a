// The record of a mount that may still be open, and the dismount that closes it: read at
// start, kept by a dismount that could not start or did not end with 0, and tried again
// until one does, as long as no stick keeps its volume mounted.
#include <string>
#include <vector>

#include "common/strings.h"
#include "rules/path_rule.h"
#include "rules/program_rule.h"
#include "token/program_chain.h"
#include "token/secure_token.h"

namespace kvn {

namespace {

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

// Whether a record's fields can stand for a mount of this program: an upper-case letter, a
// drive-absolute container and an installed program's path, judged on their text alone.
bool Plausible(const std::vector<std::u16string>& fields, os::TokenPlatform& platform) {
  if (fields.empty()) return false;
  const std::u16string& program = fields[2];
  return fields[0].size() == 1 && fields[0][0] >= u'A' && fields[0][0] <= u'Z' &&
         !fields[1].empty() && DriveAbsoluteRefusal(fields[1]) == nullptr && !program.empty() &&
         DriveAbsoluteRefusal(program) == nullptr && PlainPathRefusal(program) == nullptr &&
         InstalledProgramRefusal(platform.FullPathName(program.c_str()),
                                 platform.ProgramFilesFolders()) == nullptr;
}

}  // namespace

// The record is only ever written by this program, into a key that only administrators and
// SYSTEM may change; still, what it names is started as SYSTEM, so it is held to the rules a
// stick's values are held to. One that cannot be read counts as none; one that cannot stand
// for a mount is cleared.
void SecureToken::ReadMountRecord() {
  std::u16string record;
  const os::TokenPlatform::RecordRead read = platform_.ReadMountRecord(record);
  if (read == os::TokenPlatform::RecordRead::kAbsent ||
      read == os::TokenPlatform::RecordRead::kFailed) {
    return;
  }
  std::vector<std::u16string> fields;
  if (read == os::TokenPlatform::RecordRead::kPresent) fields = RecordFields(record);
  if (Plausible(fields, platform_)) {
    KeepForDismount(fields, 1, 0);
    leftFromStart_ = true;
    return;
  }
  ClearRecord(read == os::TokenPlatform::RecordRead::kPresent ? record : u"(not a string)");
}

void SecureToken::KeepForDismount(std::vector<std::u16string> fields, int passes, int failedRuns) {
  pending_ = std::move(fields);
  passesBeforeTry_ = passes;
  failedRuns_ = failedRuns;
}

void SecureToken::ClearRecord(const std::u16string& shown) {
  platform_.DeleteMountRecord();
  Report(events::kRecordCleared, {shown});
  pending_.clear();
}

// Judged afresh before every try: what could not be judged now (the program held open by
// someone, or gone for an update) waits for the next pass; what is judged and refused can
// never be run, and its record goes.
void SecureToken::RetryDismount() {
  if (pending_.empty() || --passesBeforeTry_ > 0) return;
  const std::u16string program = pending_[2];
  const std::u16string longPath =
      platform_.LongPathName(platform_.FullPathName(program.c_str()).c_str());
  ChainVerdict chain{ChainVerdict::kUnreadable, nullptr, program, platform_.GetLastError()};
  if (!longPath.empty()) chain = JudgeProgramChain(platform_, longPath);
  if (chain.outcome == ChainVerdict::kRefused ||
      (chain.outcome == ChainVerdict::kPasses &&
       InstalledProgramRefusal(longPath, platform_.ProgramFilesFolders()) != nullptr)) {
    ClearRecord(pending_[0] + u"|" + pending_[1] + u"|" + program);
    return;
  }
  if (chain.outcome != ChainVerdict::kPasses) {
    constexpr std::uint32_t kFileNotFound = 2;
    const std::uint32_t error =
        chain.outcome == ChainVerdict::kNotThere ? kFileNotFound : chain.error;
    ReportOnce(events::kDismountNotStarted, {program, Decimal(error)});
    passesBeforeTry_ = 1;
    return;
  }
  if (leftFromStart_) Report(events::kLeftoverDismounted, {pending_[1], pending_[0]});
  leftFromStart_ = false;
  TraceLine("CloseContainer!");
  switch (Dismount(program.c_str())) {
    case DismountEnd::kDone:
    case DismountEnd::kStillRunning:  // a stop left it: the record is for the next start
      pending_.clear();
      break;
    case DismountEnd::kNotStarted:
      passesBeforeTry_ = 1;
      break;
    case DismountEnd::kFailed:
      if (++failedRuns_ >= kFailedRunsLimit) {
        pending_.clear();  // the record stays for the next start
      } else {
        passesBeforeTry_ = kPassesBetweenFailedRuns;
      }
      break;
  }
}

void SecureToken::ReportOnce(EventKind kind, std::vector<std::u16string> strings) {
  std::u16string said = Decimal(kind.id);
  for (const std::u16string& text : strings) said += u"|" + text;
  if (said == lastFailure_) return;
  lastFailure_ = said;
  Report(kind, std::move(strings));
}

}  // namespace kvn
