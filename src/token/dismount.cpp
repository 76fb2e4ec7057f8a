#include "token/dismount.h"

#include <utility>

#include "common/strings.h"
#include "rules/command_line.h"
#include "rules/path_rule.h"
#include "rules/program_rule.h"
#include "token/program_chain.h"

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

std::u16string RecordText(const std::vector<std::u16string>& fields) {
  return fields[0] + u"|" + fields[1] + u"|" + fields[2];
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

Dismounter::Dismounter(os::TokenPlatform& platform, ChildWaits& waits, bool serviceMode,
                       Reporter report)
    : platform_(platform), waits_(waits), serviceMode_(serviceMode), report_(std::move(report)) {}

Dismounter::~Dismounter() {
  Disarm();
  if (mount_ != nullptr) platform_.CloseProcess(mount_);
}

std::u16string Dismounter::CommandLine(const char16_t* program) const {
  return serviceMode_ ? BuildCommandLine(program, {u"/a", u"/q", u"/s", u"/d", u"/f"})
                      : BuildCommandLine(program, {u"/a", u"/q", u"/d", u"/f"});
}

bool Dismounter::Arm(const char16_t* program) {
  Disarm();
  armed_ = platform_.StartProcess(program, CommandLine(program).c_str(), true);
  return armed_ != nullptr;
}

void Dismounter::Disarm() {
  if (armed_ == nullptr) return;
  platform_.EndProcess(armed_);
  platform_.CloseProcess(std::exchange(armed_, nullptr));
}

void Dismounter::TakeOver() {
  pending_.clear();
  leftFromStart_ = false;
}

void Dismounter::RestoreRecord() {
  if (!pending_.empty()) {
    platform_.WriteMountRecord(RecordText(pending_).c_str());
  } else if (mount_ == nullptr) {
    platform_.DeleteMountRecord();
  }
}

bool Dismounter::MountEnded() {
  if (mount_ != nullptr && platform_.Wait(mount_, nullptr, 0) == os::WaitResult::kChildEnded) {
    platform_.CloseProcess(std::exchange(mount_, nullptr));
  }
  return mount_ == nullptr;
}

void Dismounter::AfterPull(std::vector<std::u16string> record, os::Handle mount) {
  if (mount != nullptr) {
    if (mount_ != nullptr) platform_.CloseProcess(mount_);
    mount_ = mount;
  }
  // Its failures are written afresh. One that could not start is tried again after the next
  // pass's pause, one that failed a few passes later; the first pass follows at once, hence
  // one pass more. A stop that left it running leaves the record for the next start.
  lastFailure_.clear();
  switch (Run(record[2].c_str())) {
    case End::kNotStarted:
      Keep(std::move(record), 2, 0);
      break;
    case End::kFailed:
      Keep(std::move(record), kPassesBetweenFailedRuns + 1, 1);
      break;
    default:
      break;
  }
}

// The armed process needs no open of the tool's file; a start does, and is bounded.
Dismounter::End Dismounter::Run(const char16_t* program) {
  os::Handle child = std::exchange(armed_, nullptr);
  if (child != nullptr && !platform_.ResumeProcess(child)) {
    platform_.EndProcess(child);
    platform_.CloseProcess(std::exchange(child, nullptr));
  }
  // A mount that ends only after the dismount has started could open the volume behind it.
  const bool mountEnded = MountEnded();
  if (child == nullptr)
    child = platform_.StartProcess(program, CommandLine(program).c_str(), false);
  if (child == nullptr) {
    const std::uint32_t error = platform_.GetLastError();
    if (error == os::kErrorTimeout) {
      ReportOnce(events::kDismountHeldUp, {program, Decimal(os::kStartLimit / 1000)});
    } else {
      ReportOnce(events::kDismountNotStarted, {program, Decimal(error)});
    }
    return End::kNotStarted;
  }
  End result = End::kFailed;
  switch (waits_.WaitFor(child, kDismountWaitLimit)) {
    case ChildWaits::End::kEnded: {
      const ChildEnd end = EndOf(platform_, child);
      if (!end.success) {
        ReportOnce(events::kDismountFailed, {end.code});
        break;
      }
      if (mountEnded) {
        // Nothing is left for a later start to close.
        platform_.DeleteMountRecord();
        result = End::kDone;
      }
      report_(events::kDismountEnded, {end.code});
      break;
    }
    case ChildWaits::End::kLimit:
      platform_.EndProcess(child);
      platform_.Wait(child, nullptr, kEndWaitLimit);
      ReportOnce(events::kDismountEndedByService, {program, Decimal(kDismountWaitLimit / 1000)});
      break;
    case ChildWaits::End::kBudget:
      report_(events::kStopLeftTool, {program, Decimal(waits_.secondsWaited())});
      result = End::kStillRunning;
      break;
  }
  platform_.CloseProcess(child);
  return result;
}

// The record is only ever written by this program, into a key that only administrators and
// SYSTEM may change; still, what it names is started as SYSTEM, so it is held to the rules a
// stick's values are held to. One that cannot be read counts as none; one that cannot stand
// for a mount is cleared.
void Dismounter::ReadRecord() {
  std::u16string record;
  const os::TokenPlatform::RecordRead read = platform_.ReadMountRecord(record);
  if (read == os::TokenPlatform::RecordRead::kAbsent ||
      read == os::TokenPlatform::RecordRead::kFailed) {
    return;
  }
  std::vector<std::u16string> fields;
  if (read == os::TokenPlatform::RecordRead::kPresent) fields = RecordFields(record);
  if (Plausible(fields, platform_)) {
    Keep(fields, 1, 0);
    leftFromStart_ = true;
    return;
  }
  ClearRecord(read == os::TokenPlatform::RecordRead::kPresent ? record : u"(not a string)");
}

void Dismounter::Keep(std::vector<std::u16string> record, int passes, int failedRuns) {
  pending_ = std::move(record);
  passesBeforeTry_ = passes;
  failedRuns_ = failedRuns;
}

void Dismounter::ClearRecord(const std::u16string& shown) {
  platform_.DeleteMountRecord();
  report_(events::kRecordCleared, {shown});
  pending_.clear();
}

bool Dismounter::Due(const std::vector<std::u16string>& trusted, SignatureCheck& signatures) {
  if (pending_.empty() || --passesBeforeTry_ > 0) return false;
  const std::u16string& program = pending_[2];
  const std::u16string longPath =
      platform_.LongPathName(platform_.FullPathName(program.c_str()).c_str());
  ChainVerdict chain{ChainVerdict::kUnreadable, nullptr, program, platform_.GetLastError()};
  if (!longPath.empty()) chain = JudgeProgramChain(platform_, trusted, longPath, &signatures);
  if (chain.outcome == ChainVerdict::kRefused ||
      (chain.outcome == ChainVerdict::kPasses &&
       InstalledProgramRefusal(longPath, platform_.ProgramFilesFolders()) != nullptr)) {
    ClearRecord(RecordText(pending_));
    return false;
  }
  if (chain.outcome != ChainVerdict::kPasses) {
    constexpr std::uint32_t kFileNotFound = 2;
    const std::uint32_t error =
        chain.outcome == ChainVerdict::kNotThere ? kFileNotFound : chain.error;
    ReportOnce(events::kDismountNotStarted, {program, Decimal(error)});
    passesBeforeTry_ = 1;
    return false;
  }
  if (leftFromStart_) report_(events::kLeftoverDismounted, {pending_[1], pending_[0]});
  leftFromStart_ = false;
  return true;
}

void Dismounter::RunDue() {
  const std::u16string program = pending_[2];
  switch (Run(program.c_str())) {
    case End::kDone:
    case End::kStillRunning:  // a stop left it: the record is for the next start
      pending_.clear();
      break;
    case End::kNotStarted:
      passesBeforeTry_ = 1;
      break;
    case End::kFailed:
      if (++failedRuns_ >= kFailedRunsLimit) {
        pending_.clear();  // the record stays for the next start
      } else {
        passesBeforeTry_ = kPassesBetweenFailedRuns;
      }
      break;
  }
}

void Dismounter::ReportOnce(EventKind kind, std::vector<std::u16string> strings) {
  std::u16string said = Decimal(kind.id);
  for (const std::u16string& text : strings) said += u"|" + text;
  if (said == lastFailure_) return;
  lastFailure_ = said;
  report_(kind, std::move(strings));
}

}  // namespace kvn
