#include "token/volume_identity.h"

namespace kvn {

const char* ReadVolumeIdentity(os::TokenPlatform& platform, char16_t letter,
                               VolumeIdentity& identity, std::uint32_t& error) {
  const char16_t root[] = {letter, u':', u'\\', u'\0'};
  const char16_t drive[] = {letter, u':', u'\0'};
  os::VolumeFacts volume;
  const char* missing = nullptr;
  if (!platform.VolumeInfo(root, volume)) {
    missing = "no volume serial number";
  } else if (!platform.VolumeName(root, identity.name)) {
    missing = "no volume name";
  } else if (!platform.DosDevice(drive, identity.device)) {
    missing = "no device name";
  }
  if (missing != nullptr) {
    error = platform.GetLastError();
    return missing;
  }
  identity.serial = volume.serial;
  identity.type = platform.GetDriveType(root);
  return nullptr;
}

}  // namespace kvn
