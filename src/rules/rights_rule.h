// Who may change what the service runs. The service runs as LocalSystem, so a program it
// starts, and every folder above that program, must be changeable by administrators alone:
// otherwise any local user who can write there can make the service run their code.
//
// The rule is judged on what the system reports for each object opened as itself (its owner
// and DACL), never on a folder's name. It is conservative: only grants count, so a deny entry
// never makes an object pass, and a grant to any account or group other than the trusted ones
// (Users, Authenticated Users, Everyone, CREATOR OWNER used directly, ...) counts as a grant to
// others. Entries that apply only to children (inherit-only) are not the object's own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/token_platform.h"

namespace kvn {

// Where an object lies on the chain from the drive root down to the program.
enum class ChainPlace {
  kProgram,        // the program file itself
  kProgramFolder,  // the folder that holds it: a DLL planted there runs too
  kAbove,          // every folder above, the drive root included
};

// The accounts trusted to change what runs: SYSTEM, Administrators, TrustedInstaller, and
// `accounts`, the entries of the administrators' policy that are accounts (see
// PolicyEntryTextRefusal and AccountKindRefusal). Never "the account this process runs as":
// with UAC an administrator's unelevated programs run under the same user SID as the elevated
// ones.
std::vector<std::u16string> TrustedAccounts(const std::vector<std::u16string>& accounts);

// Why an entry of the TrustedAccounts policy, by its text alone, names no account to trust, or
// null. An account of this machine or of its domain is "S-1-5-21-" and three numbers, then its
// relative ID: the built-in Administrator's (500), or one of an account made later (1000 and
// up). Every other SID names a group, an alias, a logon, a label or an identity that many share
// (Everyone, Authenticated Users, Users, Local account, Interactive, the authentication
// assertions, services, app capabilities, the domain's Users, Guests and Computers, the Guest
// account), and so does text that is no SID.
const char* PolicyEntryTextRefusal(std::u16string_view entry);

// What LookupAccountSidW says a SID names (SID_NAME_USE), when it could say.
inline constexpr std::uint32_t kSidTypeUser = 1;
// Why an entry that Windows names `use` is no account to trust, or null: only a user account
// (SidTypeUser) is; a group (a domain's own groups too), an alias, a computer, a deleted account
// or anything else is not.
const char* AccountKindRefusal(std::uint32_t use);

// Whether a volume with these GetVolumeInformationW flags keeps owners and DACLs at all.
// FAT32 and exFAT do not: anyone may change anything there, whatever a query of its rights
// appears to answer.
bool VolumeKeepsRights(std::uint32_t volumeFlags);

// True unless a `trusted` account owns the object and no other account is granted a right that
// changes it at `place`. A NULL DACL grants everyone everything.
bool OthersMayChange(const os::Security& security, ChainPlace place,
                     const std::vector<std::u16string>& trusted);

}  // namespace kvn
