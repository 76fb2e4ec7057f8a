// The trace log of the token watcher: a wide-text stream narrowed to one byte per character,
// written in text mode (each newline becomes CR LF).
//
// Text accumulates in memory until a line is ended by EndLine(), which writes everything
// pending and so "flushes" the stream; a line closed by a literal's own "\n" stays pending
// until that next flush or Close(). A character above U+00FF has no one-byte form in the
// default locale: the stream then fails, drops what is pending, and writes nothing more.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/host.h"

namespace kvn {

class TraceLog {
 public:
  TraceLog() = default;
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;
  ~TraceLog() { Close(); }

  // Connects the stream to `file`; a null file leaves the stream failed.
  void Attach(std::unique_ptr<os::ByteSink> file);

  // Narrow text: each character widened (ASCII stays as it is); "\n" ends the line unflushed.
  TraceLog& operator<<(const char* text);
  // Wide text up to its terminator, each unit narrowed to one byte.
  TraceLog& operator<<(const char16_t* text);
  // An unsigned decimal number.
  TraceLog& operator<<(std::uint64_t value);

  // Ends the line and writes everything pending to the file.
  void EndLine();
  // Writes what is pending and closes the file.
  void Close();

  bool failed() const { return failed_; }

 private:
  void Put(char16_t unit);
  void Fail();
  void Flush();

  std::unique_ptr<os::ByteSink> file_;
  std::string pending_;
  bool failed_ = true;  // not connected
};

}  // namespace kvn
