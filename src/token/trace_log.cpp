#include "token/trace_log.h"

#include <utility>

#include "common/strings.h"

namespace kvn {

void TraceLog::Attach(std::unique_ptr<os::ByteSink> file) {
  file_ = std::move(file);
  pending_.clear();
  failed_ = (file_ == nullptr);
}

void TraceLog::Put(char16_t unit) {
  if (failed_) return;
  if (unit > 0xFF) {
    Fail();
    return;
  }
  if (unit == u'\n') pending_.push_back('\r');  // text mode
  pending_.push_back(static_cast<char>(static_cast<unsigned char>(unit)));
}

void TraceLog::Fail() {
  failed_ = true;
  pending_.clear();
}

TraceLog& TraceLog::operator<<(const char* text) {
  for (; !failed_ && *text != '\0'; ++text) {
    Put(static_cast<char16_t>(static_cast<unsigned char>(*text)));
  }
  return *this;
}

TraceLog& TraceLog::operator<<(const char16_t* text) {
  for (; !failed_ && *text != u'\0'; ++text) Put(*text);
  return *this;
}

TraceLog& TraceLog::operator<<(std::uint64_t value) {
  for (const char16_t digit : Decimal(value)) Put(digit);
  return *this;
}

void TraceLog::Flush() {
  if (failed_) return;
  if (!pending_.empty() && !file_->Write(pending_.data(), pending_.size())) {
    Fail();
    return;
  }
  pending_.clear();
}

void TraceLog::EndLine() {
  Put(u'\n');
  Flush();
}

void TraceLog::Close() {
  Flush();  // leaves nothing pending
  file_.reset();
  failed_ = true;
}

}  // namespace kvn
