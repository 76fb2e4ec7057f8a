// CheckConfig: every result with its exact trace bytes and the fields it leaves behind.
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "token_fixture.h"

namespace kvn::testing {
namespace {

using Platform = fake::FakeTokenPlatform;
using Arrange = std::function<void(Platform&)>;

// The trace of a check of the standard stick on E:, up to the start of each step.
const std::string kLoad = "Loading file: E:\\kvn.ini\r\n";
const std::string kProgramStep = kLoad + "GetValue for TrueCrypt\r\n";
const std::string kKeyStep = kProgramStep +
                             "TrueCryptPath: C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
                             "GetValue for Key\r\nSetValue Key Drive\r\n";
const std::string kContainerStep =
    kKeyStep + "SetValue Key file\r\nKeyfile found: E:\\key.dat\r\nGetValue for Container\r\n";
const std::string kTargetStep =
    kContainerStep + "Container found: D:\\vault.tc\r\nGetValue for TargetDrive\r\n";
const std::string kFree = "FirstFreeDrive is: A\r\nTargetDrive is free.\r\n";
const std::string kAccepted = kTargetStep + "TargetDrive: T\r\n" + kFree;
const std::string kMoved = "TargetDrive set to FirstFreeDrive.\r\n";
const std::string kLongProgram = "C:\\Program Files\\" + std::string(300, 'p');

// T taken, up to the reading of the IfUsed `policy`.
std::string Taken(const std::string& policy, const std::string& firstFree = "A") {
  return kTargetStep + "TargetDrive: T\r\nFirstFreeDrive is: " + firstFree +
         "\r\nTargetDrive already in use, Targetdrive: T\r\nAfter GetValue for IfUsed: " + policy +
         " :\r\n";
}

// The fields after a check (program, key, container, letter, policy); the check starts from
// the "old" marks, so what it leaves untouched shows.
using Fields = std::vector<std::u16string>;
Fields Left(std::u16string tool = u"old tool", std::u16string key = u"old key",
            std::u16string container = u"old container") {
  return {tool, key, container, u"o", u"o"};
}
Fields Settled(std::u16string target = u"T", std::u16string ifUsed = u"o") {
  return {kProgram16, u"E:\\key.dat", u"D:\\vault.tc", target, ifUsed};
}

class CheckConfigTest : public TokenTest {
 protected:
  int Check(const Ini& ini = {}) {
    AddStick(u'E', ini);
    return CheckOnly();
  }
  int CheckOnly() {
    SecureToken& t = Token();
    CopyBounded(t.trueCryptPath, u"old tool");
    CopyBounded(t.keyFilePath, u"old key");
    CopyBounded(t.containerPath, u"old container");
    CopyBounded(t.targetDrive, u"o");
    CopyBounded(t.ifUsed, u"o");
    t.configPath[0] = u'E';
    return t.CheckConfig(t.configPath);
  }
};

// --- every way out: result, trace, fields and drive-mask readings --------------------------

struct Case {
  const char* name;
  Ini ini;          // on the stick
  Arrange arrange;  // the machine, once the stick is in E:
  int result;
  std::string trace;  // between the watcher's first and last line
  Fields fields;
  int readings;  // of the drive mask
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Ini Set(std::optional<std::string> Ini::*value, std::optional<std::string> to) {
  return Ini().With(value, std::move(to));
}
Arrange Write(const char16_t* path, const char* bytes) {
  return [path, bytes](Platform& p) { p.AddFile(path, bytes); };
}
// Further drives at `letters`, then `then`.
Arrange InUse(const char16_t* letters, Arrange then = nullptr) {
  return [letters, then](Platform& p) {
    for (const char16_t* l = letters; *l != u'\0'; ++l) p.AddDrive(*l, fake::kDriveFixed);
    if (then) then(p);
  };
}
// `change` made to the machine between the two readings of the drive mask.
Arrange BetweenReadings(Arrange change) {
  return [change](Platform& p) {
    p.afterGetDrives = [&p, change](int call) {
      if (call == 1) change(p);
    };
  };
}
const Arrange kZeroMask = [](Platform& p) { p.FailGetDrives(5); };

Case Row(const char* name, Ini ini, Arrange arrange, int result, std::string trace, Fields fields,
         int readings) {
  return {name, ini, arrange, result, trace, fields, readings};
}
// The key, always taken from the stick's root, is not found.
Case MissingKey(const char* name, const std::string& key) {
  return Row(
      name, Set(&Ini::key, key), Write(u"C:\\Windows\\win.ini", ""), KeyFileNotFound,
      kKeyStep + "SetValue Key file\r\nKeyfile not found. Search string: E:\\" + key + "\r\n",
      Left(kProgram16, u"E:\\" + Wide(key)), 0);
}
// D:\vaults is a folder.
Case MissingContainer(const char* name, const std::string& container) {
  return Row(
      name, Set(&Ini::container, container), [](Platform& p) { p.AddFolder(u"D:\\vaults"); },
      ContainerNotFound,
      kContainerStep + "Container not found. Search string: " + container + "\r\n",
      Left(kProgram16, u"E:\\key.dat", Wide(container)), 0);
}
// T in use, and a TargetDrive value that is still free, traced as `shown`.
Case Free(const char* name, std::optional<std::string> target, const std::string& shown) {
  return Row(name, Set(&Ini::targetDrive, target), InUse(u"T"), ConfigOk,
             kTargetStep + "TargetDrive: " + shown + "\r\n" + kFree, Settled(Wide(shown)), 2);
}
// Every letter in use.
Case NoFree(const char* name, const std::string& target) {
  return Row(name, Set(&Ini::targetDrive, target), InUse(u"ABCDFGHIJKLMNOPQRSTUVWXYZ"),
             NoFreeDriveLetter,
             kTargetStep + "TargetDrive: " + target +
                 "\r\nFirstFreeDrive: [\r\nFirstFreeDrive is: [\r\nNo free drive letter "
                 "available!\r\n",
             Settled(Wide(target)), 1);
}
// TargetDrive "0" takes the first free letter `letter`, traced by `line`.
Case Walk(const char* name, Arrange arrange, const std::string& line, char16_t letter) {
  return Row(name, Set(&Ini::targetDrive, "0"), arrange, ConfigOk,
             kTargetStep + "TargetDrive: 0\r\n" + line + "\r\n" + kMoved,
             Settled(std::u16string(1, letter)), 2);
}

// The stick names the program `value`; refused `why` (showing `shown`) or accepted.
Case Program(const char* name, const std::string& value, Arrange arrange, const char* why = nullptr,
             const std::string& shown = "") {
  if (why == nullptr) {
    Fields fields = Settled();
    fields[0] = Wide(value);
    std::string trace = kAccepted;
    trace.replace(trace.find(kProgram), std::string(kProgram).size(), value);
    return Row(name, Set(&Ini::truecrypt, value), arrange, ConfigOk, trace, fields, 2);
  }
  return Row(name, Set(&Ini::truecrypt, value), arrange, TrueCryptNotFound,
             kProgramStep + "TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: " + why +
                 ": " + (shown.empty() ? value : shown) + "\r\n",
             Left(Wide(value)), 0);
}
const char kEvil[] = "C:\\Program Files Evil\\TrueCrypt.exe";
const char kOutside[] = "outside the Program Files folders";
void LookAlikeAndShortNames(Platform& p) {
  p.AddShortName(u"C:\\PROGRA~1", u"C:\\Program Files");
  p.AddShortName(u"C:\\Program Files\\TRUECR~1", u"C:\\Program Files\\TrueCrypt");
  p.AddShortName(u"C:\\Program Files\\TrueCrypt\\TRUECR~1.EXE", kProgram16);
  p.AddShortName(u"C:\\PROGRA~3", u"C:\\Program Files Evil");
  p.AddFile(Wide(kEvil), "MZ");
}

// The stick names the container `value`: accepted, or refused with `line`.
Case Container(const char* name, const std::string& value, Arrange arrange,
               const std::string& line = "") {
  if (line.empty()) {
    Fields fields = Settled();
    fields[2] = Wide(value);
    std::string trace = kAccepted;
    trace.replace(trace.find("D:\\vault.tc"), 11, value);
    return Row(name, Set(&Ini::container, value), arrange, ConfigOk, trace, fields, 2);
  }
  return Row(name, Set(&Ini::container, value), arrange, ContainerNotFound,
             kContainerStep + line + "\r\n", Left(kProgram16, u"E:\\key.dat", Wide(value)), 0);
}
Case NotLocal(const char* name, const std::string& value, const std::string& why,
              Arrange arrange = nullptr) {
  return Container(name, value, arrange,
                   "Container refused, not on a local drive: " + why + ": " + value);
}
// `path` on the stick is a link.
Arrange Link(const char16_t* path, const char16_t* file = nullptr) {
  return [path, file](Platform& p) {
    if (file != nullptr) p.AddFile(file);
    p.MakeLink(path);
  };
}
Arrange Sized(std::uint64_t size) {
  return [size](Platform& p) { p.SetFileSize(u"E:\\kvn.ini", size); };
}
Arrange Drive(char16_t letter, std::uint32_t type, const char16_t* file) {
  return [letter, type, file](Platform& p) {
    p.AddDrive(letter, type);
    p.AddFile(file);
  };
}
const std::string kKeyLink =
    kKeyStep + "SetValue Key file\r\nKeyfile refused, link on a removable drive: ";

const Case kCases[] = {
    // result 1: kvn.ini itself
    {"ConfigLink", Ini(), Link(u"E:\\kvn.ini"), ConfigUnreadable,
     kLoad + "Configuration refused, link on a removable drive: E:\\kvn.ini\r\n", Left(), 0},
    {"ConfigOversized", Ini(), Sized(65537), ConfigUnreadable,
     kLoad + "Configuration refused, larger than 65536 bytes: 65537 bytes: E:\\kvn.ini\r\n", Left(),
     0},
    {"ConfigHugeSparse", Ini(), Sized(0x123456789ull), ConfigUnreadable,
     kLoad + "Configuration refused, larger than 65536 bytes: 4886718345 bytes: E:\\kvn.ini\r\n",
     Left(), 0},
    {"ConfigAtTheLimit", Ini(), Sized(65536), ConfigOk, kAccepted, Settled(), 2},
    {"EmptyFile", Ini(), Write(u"E:\\kvn.ini", ""), ConfigUnreadable,
     kLoad + "Failed to open file.\r\n", Left(), 0},
    // result 2
    {"ProgramMissing", Set(&Ini::truecrypt, "C:\\Program Files\\TC\\TrueCrypt.exe"), nullptr,
     TrueCryptNotFound,
     kProgramStep + "TrueCrypt not found. Search string: C:\\Program Files\\TC\\TrueCrypt.exe\r\n",
     Left(u"C:\\Program Files\\TC\\TrueCrypt.exe"), 0},
    {"ProgramEmpty", Set(&Ini::truecrypt, ""), nullptr, TrueCryptNotFound,
     kProgramStep + "TrueCrypt not found. Search string: \r\n", Left(u""), 0},
    {"ProgramAbsent", Set(&Ini::truecrypt, std::nullopt), nullptr, TrueCryptNotFound,
     kProgramStep + "TrueCrypt not found. No value Truecrypt in section Truecrypt\r\n", Left(), 0},
    {"ProgramOverlong", Set(&Ini::truecrypt, kLongProgram), nullptr, TrueCryptNotFound,
     kProgramStep + "TrueCrypt not found. Value longer than 259 characters: " +
         kLongProgram.substr(0, 259) + "\r\n",
     Left(Wide(kLongProgram.substr(0, 259))), 0},
    // which program the stick may name: resolved, judged, and refused with its own line
    Program("ProgramOnTheStick", "E:\\TrueCrypt.exe", Write(u"E:\\TrueCrypt.exe", "MZ"), kOutside),
    Program("ProgramDotDotOut",
            "C:\\Program Files\\TrueCrypt\\..\\..\\Users\\Public\\TrueCrypt.exe",
            Write(u"C:\\Users\\Public\\TrueCrypt.exe", "MZ"), kOutside,
            "C:\\Users\\Public\\TrueCrypt.exe"),
    Program("ProgramDotDotInside", "C:\\Program Files\\Other\\..\\TrueCrypt\\.\\TrueCrypt.exe",
            nullptr),
    Program("ProgramLookAlikeFolder", kEvil, LookAlikeAndShortNames, kOutside),
    // judged on the full path before any search: short names are not resolved for it
    Program("ProgramShortNames", "C:\\PROGRA~1\\TRUECR~1\\TRUECR~1.EXE", LookAlikeAndShortNames,
            "not named TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe"),
    Program("ProgramShortFolderInside", "C:\\Program Files\\TRUECR~1\\TrueCrypt.exe",
            LookAlikeAndShortNames),
    Program("ProgramShortNameOfLookAlike", "C:\\PROGRA~3\\TrueCrypt.exe", LookAlikeAndShortNames,
            kOutside),
    Program("ProgramOnTheStickBehindALink", "E:\\tools\\TrueCrypt.exe",
            Link(u"E:\\tools", u"E:\\tools\\TrueCrypt.exe"), kOutside),
    Program("ProgramWow64Shape", "C:\\Program Files\\VeraCrypt\\VeraCrypt-x64.exe",
            [](Platform& p) {
              p.AddFile(u"C:\\Program Files\\VeraCrypt\\VeraCrypt-x64.exe");
              const std::u16string x86 = u"C:\\Program Files (x86)";
              p.programFilesFolders = {x86, x86 + u"\\", x86, x86, u"", u"C:\\Program Files\\"};
            }),
    Program(
        "ProgramNoKnownFolder", kProgram, [](Platform& p) { p.programFilesFolders.clear(); },
        kOutside),
    // refused as written, before any search
    Program("ProgramRelativeToInstalled", "..\\..\\Program Files\\TrueCrypt\\TrueCrypt.exe",
            nullptr, "relative path"),
    Program("ProgramUnc", "\\\\attacker\\share\\TrueCrypt.exe", nullptr, "UNC path"),
    // result 3
    MissingKey("KeyMissing", "keys\\other.dat"),
    MissingKey("KeyEmpty", ""),
    MissingKey("KeyUpAndOut", "..\\..\\Windows\\win.ini"),
    MissingKey("KeyUnc", "\\\\server\\share\\key.dat"),
    {"KeyFolderLink", Set(&Ini::key, "keys\\.\\k.dat"), Link(u"E:\\keys", u"E:\\keys\\k.dat"),
     KeyFileNotFound, kKeyLink + "E:\\keys\r\n", Left(kProgram16, u"E:\\keys\\.\\k.dat"), 0},
    {"KeyFileLink", Ini(), Link(u"E:\\key.dat"), KeyFileNotFound, kKeyLink + "E:\\key.dat\r\n",
     Left(kProgram16, u"E:\\key.dat"), 0},
    {"KeyAbsent", Set(&Ini::key, std::nullopt), nullptr, KeyFileNotFound,
     kKeyStep + "Keyfile not found. No value Key in section Config\r\n", Left(kProgram16, u"E:\\"),
     0},
    {"KeyOverlong", Set(&Ini::key, std::string(257, 'k')), nullptr, KeyFileNotFound,
     kKeyStep + "Keyfile not found. Value longer than 256 characters: E:\\" +
         std::string(256, 'k') + "\r\n",
     Left(kProgram16, u"E:\\" + std::u16string(256, u'k')), 0},
    // result 4: a path ending in a backslash finds nothing
    MissingContainer("ContainerMissing", "D:\\gone.tc"),
    MissingContainer("ContainerEmpty", ""),
    MissingContainer("ContainerFolderWithBackslash", "D:\\vaults\\"),
    MissingContainer("ContainerDriveRoot", "D:\\"),
    NotLocal("ContainerUnc", "\\\\host\\share\\c.tc", "UNC path"),
    NotLocal("ContainerUncWithPort", "\\\\host@8443\\share\\c.tc", "UNC path"),
    NotLocal("ContainerUncSlashes", "//host/share/c.tc", "UNC path"),
    NotLocal("ContainerDevice", "\\\\?\\D:\\vault.tc", "device path"),
    NotLocal("ContainerDeviceDot", "\\\\.\\PhysicalDrive1", "device path"),
    NotLocal("ContainerRelative", "vault.tc", "relative path"),
    NotLocal("ContainerDriveRelative", "D:vault.tc", "relative path"),
    NotLocal("ContainerRootRelative", "/vault.tc", "relative path"),
    NotLocal("ContainerRemoteDrive", "N:\\c.tc", "remote drive", Drive(u'N', 4, u"N:\\c.tc")),
    NotLocal("ContainerNoDrive", "Q:\\c.tc", "no such drive"),
    NotLocal("ContainerUnknownDrive", "U:\\c.tc", "unknown drive type",
             Drive(u'U', 0, u"U:\\c.tc")),
    Container("ContainerOnTheStickWithBlanks", "E:\\my vaults\\c.tc",
              [](Platform& p) { p.AddFile(u"E:\\my vaults\\c.tc"); }),
    Container("ContainerOnCd", "R:\\c.tc", Drive(u'R', fake::kDriveCdRom, u"R:\\c.tc")),
    Container("ContainerOnRamDisk", "M:\\c.tc", Drive(u'M', fake::kDriveRamDisk, u"M:\\c.tc")),
    Container("ContainerOnStickFolderLink", "E:\\vaults\\c.tc",
              Link(u"E:\\vaults", u"E:\\vaults\\c.tc"),
              "Container refused, link on a removable drive: E:\\vaults"),
    Container(
        "ContainerOnOtherStickLink", "F:/c.tc",
        [](Platform& p) {
          Drive(u'F', fake::kDriveRemovable, u"F:\\c.tc")(p);
          p.MakeLink(u"F:\\c.tc");
        },
        "Container refused, link on a removable drive: F:/c.tc"),
    // a link on a fixed drive is the administrator's own
    Container("ContainerFixedDriveLink", "D:\\linked\\c.tc",
              Link(u"D:\\linked", u"D:\\linked\\c.tc")),
    {"ContainerAbsent", Set(&Ini::container, std::nullopt), nullptr, ContainerNotFound,
     kContainerStep + "Container not found. No value Container in section Config\r\n",
     Left(kProgram16, u"E:\\key.dat"), 0},
    {"ContainerOverlong", Set(&Ini::container, "D:\\" + std::string(5000, 'c')), nullptr,
     ContainerNotFound,
     kContainerStep + "Container not found. Value longer than 259 characters: D:\\" +
         std::string(256, 'c') + "\r\n",
     Left(kProgram16, u"E:\\key.dat", u"D:\\" + std::u16string(256, u'c')), 0},
    // results 5 and 0 for a taken target, by IfUsed
    {"TakenDoNothing", Ini(), InUse(u"T"), TargetDriveInUse,
     Taken("0") + "Do nothing, Targetdrive: T\r\n", Settled(u"T", u"0"), 2},
    {"TakenMovesToFirstFree", Set(&Ini::ifUsed, "1 (take the next)"), InUse(u"ABT"), ConfigOk,
     Taken("1", "F") + kMoved, Settled(u"F", u"1"), 2},
    {"TakenOtherPolicyKeepsIt", Set(&Ini::ifUsed, "2"), InUse(u"T"), ConfigOk, Taken("2"),
     Settled(u"T", u"2"), 2},
    {"TakenAbsentPolicyKeepsIt", Set(&Ini::ifUsed, std::nullopt), InUse(u"T"), ConfigOk, Taken(""),
     Settled(u"T", u""), 2},
    // result 6, whatever the target
    NoFree("NoFreeLetter", "T"),
    NoFree("NoFreeLetterForZero", "0"),
    NoFree("NoFreeLetterForEmpty", ""),
    // the first free letter
    Walk("WalkPastTheHighest", InUse(u"AB"), "FirstFreeDrive: F", u'F'),
    Walk("WalkLowestGapTracedOnce", InUse(u"AF"), "FirstFreeDrive is: B", u'B'),
    Walk("WalkZeroMask", kZeroMask, "FirstFreeDrive: A", u'A'),
    Walk("WalkToZ", InUse(u"ABCDFGHIJKLMNOPQRSTUVWXY"), "FirstFreeDrive: Z", u'Z'),
    // only upper case names a drive: anything else is free
    Free("FirstCharacterOnly", "X:\\", "X"),
    Free("LowerCaseTarget", "t", "t"),
    Free("EmptyTarget", "", ""),
    Free("AbsentTarget", std::nullopt, ""),
    // the in-use test reads the mask afresh; FirstFreeDrive comes from the first reading
    {"TargetPluggedBetweenReadings", Ini(), BetweenReadings(InUse(u"T")), TargetDriveInUse,
     Taken("0") + "Do nothing, Targetdrive: T\r\n", Settled(u"T", u"0"), 2},
    Walk("FirstFreePluggedBetweenReadings", BetweenReadings(InUse(u"A")), "FirstFreeDrive is: A",
         u'A'),
    {"ZeroSecondReading", Ini(), InUse(u"T", BetweenReadings(kZeroMask)), ConfigOk, kAccepted,
     Settled(), 2},
};

class CheckResultTest : public CheckConfigTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CheckResultTest, TraceFieldsAndReadings) {
  const Case& c = GetParam();
  AddStick(u'E', c.ini);
  if (c.arrange) c.arrange(platform);
  EXPECT_EQ(CheckOnly(), c.result);
  const SecureToken& t = Token();
  EXPECT_EQ(Fields({t.trueCryptPath, t.keyFilePath, t.containerPath, t.targetDrive, t.ifUsed}),
            c.fields);
  EXPECT_EQ(platform.getDrivesCalls(), c.readings);
  EXPECT_EQ(Closed(), c.trace);
  // Only paths on a drive of this machine are ever looked for: a relative or UNC value is
  // refused before any search.
  for (const auto& path : platform.searches) {
    EXPECT_TRUE(path.empty() ||
                (path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/')))
        << ::testing::PrintToString(path);
  }
  // Nothing on the stick is reached through a link.
  EXPECT_EQ(platform.followedLinks, c.name == std::string("ContainerFixedDriveLink") ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckResultTest, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

// --- what the table cannot show ------------------------------------------------------------

TEST_F(CheckConfigTest, TheClosingLineOfAnAcceptedCheckWaitsForTheNextFlush) {
  EXPECT_EQ(Check(), ConfigOk);
  EXPECT_EQ(Flushed(), kTargetStep + "TargetDrive: T\r\nFirstFreeDrive is: A\r\n");
}

TEST_F(CheckConfigTest, FoldersAndMatchingWildcardsExist) {
  platform.AddFile(u"D:\\vaults\\Work.TC");
  platform.AddFolder(u"E:\\keys");
  for (const char* container : {"D:\\vaults", "D:\\VAULTS\\work.tc", "D:\\vaults\\*.tc",
                                "D:\\vaults\\w?rk.*", "D:\\vaults\\*"}) {
    Ini ini;
    ini.container = std::string(container);
    ini.key = "keys";
    EXPECT_EQ(Check(ini), ConfigOk) << container;
  }
}

TEST_F(CheckConfigTest, ValuesThatFillTheirFieldsExactlyAreKept) {
  Ini ini;
  ini.container = "D:\\" + std::string(256, 'c');  // 259 units
  ini.key = std::string(256, 'k');                 // E:\ + 256 = 259
  platform.AddFile(Wide(*ini.container));
  platform.AddFile(u"E:\\" + Wide(*ini.key));
  EXPECT_EQ(Check(ini), ConfigOk);
  EXPECT_EQ(std::u16string(Token().containerPath), Wide(*ini.container));
  EXPECT_EQ(std::u16string(Token().keyFilePath), u"E:\\" + Wide(*ini.key));
}

}  // namespace
}  // namespace kvn::testing
