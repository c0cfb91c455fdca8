// How a call of host/ that can fail ended: a Status (ok, or a code and a line saying why), and a
// Result<T> that holds either the call's value or the Status of its failure. Every file the host
// reads or replaces for the system answers with one of these, so that a caller tells "there is no
// file" from "there is a file I could not read" the same way whichever file it is.
//
// Plain values, header-only: they never cross a message send (only the platform's types do), and
// nothing here throws but the allocation of a message. Both must be looked at: a caller that
// means to ignore a write's outcome says so with a cast to void.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace host {

class [[nodiscard]] Status {
 public:
  enum class Code {
    Ok,
    // There is no file at the path (nor, it may be, the folder that would hold it).
    Missing,
    // A file is there but could not be read whole (an I/O error, no permission, not a regular
    // file), or it holds more than the reader can keep (a property list nested deeper than
    // kMaxNesting, a value out of range, text in an encoding the host does not read). A writer
    // must not replace an unreadable file: it would lose what it could not see.
    Unreadable,
    // The bytes were read but are not what the call reads: text that is not UTF-8, bytes that are
    // no property list, or a property list whose top level is no dictionary. A writer may start
    // afresh over it.
    Malformed,
    // A replacement of a file did not take place, whatever stopped it (no folder, no space, no
    // permission, a value the file cannot carry). The old file stays byte for byte. Writes fail
    // only this way: the message says why.
    Unwritable,
  };

  // Ok, with no message.
  Status() noexcept = default;
  Status(Code code, std::string message) noexcept : code_(code), message_(std::move(message)) {}

  bool ok() const noexcept { return code_ == Code::Ok; }
  Code code() const noexcept { return code_; }
  // Why the call failed, in one line a person can read (for the log, or a tool's error); empty
  // when ok.
  const std::string& message() const noexcept { return message_; }

 private:
  Code code_ = Code::Ok;
  std::string message_;
};

// A call's value, or the Status of its failure (never both, never neither).
template <class T>
class [[nodiscard]] Result {
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  Result(T value) noexcept : value_(std::move(value)) {}
  // A failure. An ok Status holds no value to give, so it stands for a failure nobody named:
  // the result is never neither.
  Result(Status failure) noexcept
      : status_(failure.ok() ? Status(Status::Code::Unreadable, "no value was given")
                             : std::move(failure)) {}

  bool ok() const noexcept { return value_.has_value(); }
  // Ok when there is a value.
  const Status& status() const noexcept { return status_; }

  // REQUIRES: ok().
  const T& value() const& noexcept { return *value_; }
  T& value() & noexcept { return *value_; }
  T&& value() && noexcept { return std::move(*value_); }
  const T* operator->() const noexcept { return &value(); }

  // The value, or `fallback` when there is none.
  T valueOr(T fallback) const& { return ok() ? *value_ : std::move(fallback); }
  T valueOr(T fallback) && noexcept { return ok() ? std::move(*value_) : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace host
