// Reading JSON as a stream of values, each with its place in its document,
// from memory or from a file read a piece at a time: a file of any size is
// read in little memory, one top-level value after another (iperf3's server
// log and --json-stream output hold several). No GTK.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellan {

// One scalar as the file wrote it. A number is kept as its text and read
// only when asked for: most of a file's figures are passed over.
struct JsonScalar {
  enum class Kind { Null, Bool, Number, String } kind = Kind::Null;
  bool boolean = false;
  std::string_view text;  // a String's text, a Number as written; valid during the call

  // A whole number ≥ 0 (written as one, within 64 bits), or nothing.
  std::optional<std::uint64_t> count() const;
  // A finite number, or nothing.
  std::optional<double> real() const;
  // A number: ±infinity when it is too large for a double, 0 when too small.
  double number() const;
  // Whether it is a whole number below zero (written as one, within 64 bits).
  bool negative_whole() const;
};

// Where a value stands: the containers around it, outermost first, each with
// the key (object) or index (array) that leads on toward the value.
struct JsonFrame {
  bool array = false;
  std::string key;
  std::size_t index = 0;
};
using JsonPath = std::vector<JsonFrame>;

// What a reader makes of the values. Returning false stops the reading; the
// sink keeps its own reason.
class JsonSink {
 public:
  virtual ~JsonSink() = default;
  virtual bool value(const JsonPath& at, const JsonScalar& v) = 0;
  // A container starts, at `at`; its values follow one level deeper.
  virtual bool open(const JsonPath& at, bool array) = 0;
  // A container ended; `at` is its place, as it was given to open().
  virtual bool close(const JsonPath& at, bool array) = 0;
  // A top-level value is over.
  virtual bool document_end() = 0;
  // Whether the values inside the container that opens at `at` matter.
  // The reader passes over those of one that does not, when its end is in
  // the bytes at hand, seeing only that its brackets and strings close:
  // the sink sees it open and close, empty.
  virtual bool wanted(const JsonPath& at, bool array) {
    (void)at;
    (void)array;
    return true;
  }
};

// The bytes to read: a file, read in pieces, or a buffer.
class JsonSource {
 public:
  static constexpr std::size_t kChunk = 1 << 18;

  // `cancel` is looked at and `progress` told the fraction read, once a piece.
  static std::unique_ptr<JsonSource> from_memory(std::string_view bytes);
  // Takes `fd` (closes it); `size` is the file's, for the progress.
  static std::unique_ptr<JsonSource> from_fd(int fd, std::uint64_t size, const std::atomic<bool>* cancel,
                                             std::function<void(double)> progress);
  ~JsonSource();
  JsonSource(const JsonSource&) = delete;
  JsonSource& operator=(const JsonSource&) = delete;

  // The first bytes (up to a piece), for telling what the file is.
  std::string_view head();

  // RapidJSON's input stream.
  using Ch = char;
  Ch Peek() {
    if (pos_ == end_ && !refill()) return '\0';
    return *pos_;
  }
  Ch Take() {
    if (pos_ == end_ && !refill()) return '\0';
    return *pos_++;
  }
  std::size_t Tell() const { return static_cast<std::size_t>(consumed_ + static_cast<std::uint64_t>(pos_ - begin_)); }
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  // Standing on the bracket that opens a container, moves on to the byte
  // before the bracket that closes it, if that is in the bytes at hand: the
  // reader takes the opening bracket and meets the closing one. False, and
  // nothing moved, otherwise.
  bool pass_over_container();

  // The next line, without its "\n"; false at the end. Counts lines as Take().
  bool read_line(std::string& out);

  // The line (from 1) of the byte the reading stands at.
  std::uint64_t line() const;
  // Whether everything was read (the source was not cut short).
  bool at_end() { return pos_ == end_ && !refill(); }
  bool cancelled() const { return cancelled_; }
  // A read error in words (the file went, the disk failed), if one came.
  const std::string& read_error() const { return read_error_; }
  // The reading found a run of this many bytes without a value in it.
  bool overlong() const { return overlong_; }
  void mark_value() { mark_ = Tell(); }

 private:
  JsonSource() = default;
  bool refill();

  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::string_view memory_;
  bool memory_given_ = false;
  const char* begin_ = nullptr;
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  std::uint64_t consumed_ = 0;  // bytes before begin_
  std::uint64_t line_ = 1;  // of begin_
  std::uint64_t mark_ = 0;
  const std::atomic<bool>* cancel_ = nullptr;
  std::function<void(double)> progress_;
  bool cancelled_ = false;
  bool overlong_ = false;
  bool eof_ = false;
  std::string read_error_;
};

// How a reading went: `error` is empty when every value was read and taken.
struct JsonScanResult {
  bool ok = true;
  bool sink_stopped = false;  // the sink said no: its reason holds
  std::string error;          // in words, otherwise
  std::uint64_t line = 0;     // where the fault is (1 on)
  bool cut_short = false;     // the bytes end inside a value
  std::size_t documents = 0;  // top-level values read whole
};

// Reads every top-level value of `source` into `sink`, one after another
// (whitespace between them, CRLF too). A value nested deeper than
// `max_depth` is refused.
JsonScanResult scan_json(JsonSource& source, JsonSink& sink, std::size_t max_depth = 64);

}  // namespace trellan
