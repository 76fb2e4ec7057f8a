// What tells the volume at a drive letter from any other. Its serial number alone proves
// nothing: anyone can read it, and write it into the boot sector of a volume of their own that
// they mount at the same letter (VeraCrypt lets users without administrator rights do so). The
// unique name the mount manager gives the volume, the device the letter leads to and the
// drive's type cannot be set by a user; a volume mounted by the tool, a subst letter or a
// network drive differs from a stick in them.
#pragma once

#include <cstdint>
#include <string>

#include "os/token_platform.h"

namespace kvn {

struct VolumeIdentity {
  std::uint32_t serial = 0;  // GetVolumeInformationW
  std::u16string name;       // GetVolumeNameForVolumeMountPointW: "\\?\Volume{GUID}\"
  std::u16string device;     // QueryDosDeviceW: "\Device\HarddiskVolume7"
  std::uint32_t type = 0;    // GetDriveTypeW

  bool operator==(const VolumeIdentity& o) const {
    return serial == o.serial && name == o.name && device == o.device && type == o.type;
  }
  bool operator!=(const VolumeIdentity& o) const { return !(*this == o); }
};

// Reads the identity of the volume at drive `letter` into `identity`. Null when every part
// was read; else which one could not be ("no volume serial number", "no volume name", "no
// device name"), with the system's code in `error`.
const char* ReadVolumeIdentity(os::TokenPlatform& platform, char16_t letter,
                               VolumeIdentity& identity, std::uint32_t& error);

}  // namespace kvn
