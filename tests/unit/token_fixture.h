// A machine for the token watcher's tests: the fake Windows in debug mode with C:\Trace,
// an installed TrueCrypt, a container on D: and helpers to write a stick.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/process_state.h"
#include "common/strings.h"
#include "fake/fake_token_platform.h"
#include "service/service_state.h"
#include "token/secure_token.h"

namespace kvn::testing {

inline constexpr char16_t kLog[] = u"C:\\Trace\\kvn.log";
inline constexpr char kProgram[] = "C:\\Program Files\\TrueCrypt\\TrueCrypt.exe";
inline constexpr char16_t kProgram16[] = u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe";

// The values of one kvn.ini; an absent value leaves its line out.
struct Ini {
  std::optional<std::string> truecrypt = std::string(kProgram);
  std::optional<std::string> key = std::string("key.dat");
  std::optional<std::string> container = std::string("D:\\vault.tc");
  std::optional<std::string> targetDrive = std::string("T");
  std::optional<std::string> ifUsed = std::string("0");

  std::string Text() const {
    std::string text = "; written by the test\r\n[Truecrypt]\r\n";
    if (truecrypt) text += "Truecrypt=" + *truecrypt + "\r\n";
    text += "[Config]\r\n";
    if (key) text += "Key=" + *key + "\r\n";
    if (container) text += "Container=" + *container + "\r\n";
    if (targetDrive) text += "TargetDrive=" + *targetDrive + "\r\n";
    if (ifUsed) text += "IfUsed=" + *ifUsed + "\r\n";
    return text;
  }
  // This kvn.ini with `value` changed `to`; nullopt leaves its line out.
  Ini With(std::optional<std::string> Ini::*value, std::optional<std::string> to) const {
    Ini changed = *this;
    changed.*value = std::move(to);
    return changed;
  }
};

inline std::u16string Wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    process.debugMode = true;
    platform.AddFolder(u"C:\\Trace");
    platform.AddFile(kProgram16, "MZ");
    platform.AddDrive(u'D', fake::kDriveFixed);
    platform.AddFile(u"D:\\vault.tc", "container");
  }
  void TearDown() override {
    token.reset();
    process.Reset();
  }

  // A stick at `letter` carrying kvn.ini with `ini` and the key file key.dat.
  void AddStick(char16_t letter, const Ini& ini = {}) {
    platform.AddDrive(letter, fake::kDriveRemovable);
    const std::u16string root = std::u16string(1, letter) + u":\\";
    platform.AddFile(root + u"kvn.ini", ini.Text());
    platform.AddFile(root + u"key.dat", "key");
  }

  SecureToken& Token() {
    if (!token) token = std::make_unique<SecureToken>(platform);
    return *token;
  }

  // The trace in the file now, without the constructor's line: only flushed lines.
  std::string Flushed() const {
    std::string bytes = platform.FileContents(kLog);
    const std::string first = "SecureToken construktor!\r\n";
    EXPECT_EQ(bytes.compare(0, first.size(), first), 0) << bytes;
    return bytes.size() >= first.size() ? bytes.substr(first.size()) : bytes;
  }
  // Destroys the watcher and returns the whole trace between its first and last line.
  std::string Closed() {
    token.reset();
    std::string bytes = Flushed();
    const std::string last = "SecureToken implicite destructor!\r\n";
    EXPECT_GE(bytes.size(), last.size());
    if (bytes.size() >= last.size()) {
      EXPECT_EQ(bytes.substr(bytes.size() - last.size()), last);
      bytes.resize(bytes.size() - last.size());
    }
    return bytes;
  }

  // Signals a stop at virtual time `time`.
  void StopAt(std::uint64_t time) {
    const os::Handle event = kernel.CreateEvent();
    process.stopEvent = event;
    kernel.At(time, [this, event] { kernel.SetEvent(event); });
  }

  fake::FakeKernel kernel;
  fake::FakeTokenPlatform platform{kernel};
  std::unique_ptr<SecureToken> token;
};

}  // namespace kvn::testing
