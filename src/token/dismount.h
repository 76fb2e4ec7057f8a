// The dismount's life, from armed to the mount record cleared:
//   armed    before a mount starts, its dismount is made: the tool's process with the
//            dismount's command line, suspended, so that the pull needs no open of the tool's
//            file, which another program could hold up at that very moment; a mount whose
//            dismount cannot be made does not start;
//   started  at the pull (or a stop), the armed process is resumed, or, should that fail, one is
//            started anew;
//   bounded  one still running after kDismountWaitLimit is ended, written once, and counts as a
//            run that failed;
//   retried  one that could not start is tried again after the next pass's pause, one that
//            failed a few passes later, kFailedRunsLimit runs in all, while no stick is
//            accepted; a stick whose mount starts takes the record over, its own dismount
//            closing every volume;
//   cleared  the mount record is deleted once a dismount that started after the mount had ended
//            has ended with 0.
// A record that an earlier run left (read at start) joins at "retried". Used by the thread of
// the watch cycle alone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/events.h"
#include "os/token_platform.h"
#include "token/child_waits.h"
#include "token/signature_check.h"

namespace kvn {

// How long a dismount may run before it is ended.
inline constexpr std::uint32_t kDismountWaitLimit = 60000;  // ms
// How long a child that was ended may take to go.
inline constexpr std::uint32_t kEndWaitLimit = 1000;  // ms
// A dismount that ran and failed is tried again after this many scan passes (each ends with a
// 2000 ms pause: at least 10 s; every try dismounts every volume), at most this many times in
// all; then its record stays for the next start.
inline constexpr int kPassesBetweenFailedRuns = 5;
inline constexpr int kFailedRunsLimit = 4;

class Dismounter {
 public:
  using Reporter = std::function<void(EventKind, std::vector<std::u16string>)>;

  // `report` writes an event; `serviceMode` chooses the command line (see OpenContainer).
  Dismounter(os::TokenPlatform& platform, ChildWaits& waits, bool serviceMode, Reporter report);
  // An armed process that was never resumed is ended; a mount still running is left to itself.
  ~Dismounter();
  Dismounter(const Dismounter&) = delete;
  Dismounter& operator=(const Dismounter&) = delete;

  // Makes the dismount of `program`, suspended. False when it cannot be made, with the reason in
  // the last error.
  bool Arm(const char16_t* program);
  // Ends the armed process: its mount did not start.
  void Disarm();
  // A stick's mount has started: nothing earlier is left to retry.
  void TakeOver();
  // Writes the record back as it stands while no mount runs: the volume still to be closed, or
  // none.
  void RestoreRecord();
  // After the pull or a stop: dismounts the volume of `record` (letter, container, program).
  // `mount` is the mount's child if it is still running (it could not be ended), kept until it
  // has ended: no dismount before that clears the record.
  void AfterPull(std::vector<std::u16string> record, os::Handle mount);
  // Reads the record that an earlier run may have left: one that can stand for a mount is
  // dismounted after the first scan pass that accepts no stick; one that cannot is cleared.
  void ReadRecord();
  // After a scan pass that accepted no stick: whether a dismount is due now. Its program is
  // judged afresh first, `trusted` being the accounts that may change it, and its signature
  // with `signatures`: one that cannot be judged now waits for the next pass, one that is judged
  // and refused can never run, and its record goes.
  bool Due(const std::vector<std::u16string>& trusted, SignatureCheck& signatures);
  // Runs the dismount that Due found due.
  void RunDue();

 private:
  enum class End {
    kDone,          // it ran and ended with 0 after the mount had ended; the record is cleared
    kFailed,        // it ran and failed, or was ended at its limit, or the mount still ran
    kNotStarted,    // it could not be started
    kStillRunning,  // a stop's budget left it running
  };
  // Resumes the armed process or starts one, waits for it within its limit, ends it at that
  // limit; clears the record once it has ended with 0 after the mount had ended.
  End Run(const char16_t* program);
  // Keeps the volume of `record` to be dismounted after `passes` scan passes, counting
  // `failedRuns` dismounts that ran and failed.
  void Keep(std::vector<std::u16string> record, int passes, int failedRuns);
  // Deletes the mount record, writes event 1401 with `shown` and forgets the volume.
  void ClearRecord(const std::u16string& shown);
  // Writes the event unless it is the failure last written: a failure that repeats on every try
  // is written once.
  void ReportOnce(EventKind kind, std::vector<std::u16string> strings);
  std::u16string CommandLine(const char16_t* program) const;
  // Whether the mount that was still running has ended since.
  bool MountEnded();

  os::TokenPlatform& platform_;
  ChildWaits& waits_;
  const bool serviceMode_;
  Reporter report_;
  os::Handle armed_ = nullptr;  // the suspended dismount of the mount under way
  os::Handle mount_ = nullptr;  // a mount that could not be ended, until it has ended
  // The volume that may still be open, as its record names it (letter, container, program);
  // empty when there is none.
  std::vector<std::u16string> pending_;
  bool leftFromStart_ = false;  // read at start: its first try writes event 1400
  int passesBeforeTry_ = 0;     // scan passes until the next try
  int failedRuns_ = 0;          // its dismounts that ran and failed
  std::u16string lastFailure_;  // the failure last written to the event log
};

}  // namespace kvn
