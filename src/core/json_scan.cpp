#include "core/json_scan.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace trellan {

namespace {

// The text as a whole number ≥ 0, if it is one that fits.
std::optional<std::uint64_t> whole(std::string_view t) {
  std::uint64_t n = 0;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), n);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return std::nullopt;
  return n;
}

}  // namespace

std::optional<std::uint64_t> JsonScalar::count() const {
  if (kind != Kind::Number) return std::nullopt;
  return whole(text);  // a sign, a fraction or an exponent stops it
}

bool JsonScalar::negative_whole() const {
  return kind == Kind::Number && text.starts_with('-') && whole(text.substr(1)).has_value();
}

double JsonScalar::number() const {
  if (kind != Kind::Number) return 0;
  double d = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large is no number a figure can have; too small is zero.
    const bool negative = text.starts_with('-');
    const std::size_t e = text.find_first_of("eE");
    const bool huge = e == std::string_view::npos || e + 1 >= text.size() || text[e + 1] != '-';
    return huge ? (negative ? -HUGE_VAL : HUGE_VAL) : 0.0;
  }
  return r.ec == std::errc() ? d : NAN;
}

std::optional<double> JsonScalar::real() const {
  const double d = number();
  if (kind != Kind::Number || !std::isfinite(d)) return std::nullopt;
  return d;
}

// ---- the source --------------------------------------------------------------

namespace {
// A value that has not ended after this many bytes is not one any file of
// ours or of iperf3's holds; reading on would only fill the memory.
constexpr std::uint64_t kLongestValue = std::uint64_t{64} << 20;
}  // namespace

std::unique_ptr<JsonSource> JsonSource::from_memory(std::string_view bytes) {
  std::unique_ptr<JsonSource> s(new JsonSource);
  s->memory_ = bytes;
  return s;
}

std::unique_ptr<JsonSource> JsonSource::from_fd(int fd, std::uint64_t size, const std::atomic<bool>* cancel,
                                                std::function<void(double)> progress) {
  std::unique_ptr<JsonSource> s(new JsonSource);
  s->fd_ = fd;
  s->size_ = size;
  s->buffer_ = std::make_unique<char[]>(kChunk);
  s->cancel_ = cancel;
  s->progress_ = std::move(progress);
  return s;
}

JsonSource::~JsonSource() {
  if (fd_ >= 0) close(fd_);
}

std::string_view JsonSource::head() {
  if (pos_ == end_) refill();
  return std::string_view(pos_, static_cast<std::size_t>(end_ - pos_));
}

bool JsonSource::refill() {
  if (eof_ || cancelled_ || overlong_) return false;
  if (Tell() - mark_ > kLongestValue) {
    overlong_ = true;
    return false;
  }
  consumed_ += static_cast<std::uint64_t>(end_ - begin_);
  line_ += static_cast<std::uint64_t>(std::count(begin_, end_, '\n'));
  if (fd_ < 0) {
    if (memory_given_) {
      eof_ = true;
      begin_ = pos_ = end_;
      return false;
    }
    memory_given_ = true;
    begin_ = pos_ = memory_.data();
    end_ = memory_.data() + memory_.size();
    if (begin_ == end_) eof_ = true;
    return begin_ != end_;
  }
  if (cancel_ && cancel_->load(std::memory_order_relaxed)) {
    cancelled_ = true;
    begin_ = pos_ = end_;
    return false;
  }
  ssize_t n;
  do n = read(fd_, buffer_.get(), kChunk);
  while (n < 0 && errno == EINTR);
  if (n <= 0) {
    if (n < 0) read_error_ = std::strerror(errno);
    eof_ = true;
    begin_ = pos_ = end_ = buffer_.get();
    return false;
  }
  begin_ = pos_ = buffer_.get();
  end_ = begin_ + n;
  if (progress_ && size_ > 0)
    progress_(std::min(1.0, static_cast<double>(consumed_ + static_cast<std::uint64_t>(n)) / static_cast<double>(size_)));
  return true;
}

std::uint64_t JsonSource::line() const {
  return line_ + static_cast<std::uint64_t>(std::count(begin_, pos_, '\n'));
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The end of the string whose opening quote is at `p`, past its closing
// quote; none where it does not close in [p, end) or holds anything the
// reader might refuse (a control character, an odd escape, half of a
// surrogate pair).
const char* string_end(const char* p, const char* end) {
  for (++p; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') return p + 1;
    if (c < 0x20) return nullptr;
    if (c != '\\') continue;
    if (++p == end) return nullptr;
    if (*p == 'u') {
      if (end - p < 5 || !is_hex(p[1]) || !is_hex(p[2]) || !is_hex(p[3]) || !is_hex(p[4])) return nullptr;
      if ((p[1] == 'd' || p[1] == 'D') && p[2] >= '8') return nullptr;  // surrogates: the reader's to judge
      p += 4;
    } else if (std::string_view("\"\\/bfnrt").find(*p) == std::string_view::npos) {
      return nullptr;
    }
  }
  return nullptr;
}

// The end of the number at `p`; none where it is not one or is one the
// reader might refuse for its size (over 15 digits, or a 3-digit exponent).
const char* number_end(const char* p, const char* end) {
  const auto digits = [&](std::size_t most) {
    const char* from = p;
    while (p < end && is_digit(*p)) ++p;
    const auto n = static_cast<std::size_t>(p - from);
    return n >= 1 && n <= most;
  };
  if (p < end && *p == '-') ++p;
  if (p == end) return nullptr;
  if (*p == '0') {
    ++p;
  } else if (!digits(15)) {
    return nullptr;
  }
  if (p < end && *p == '.') {
    ++p;
    if (!digits(15)) return nullptr;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (!digits(2)) return nullptr;
  }
  return p < end ? p : nullptr;
}

}  // namespace

bool JsonSource::pass_over_container() {
  // The container is passed over only where it is JSON the reader would take
  // whole: anything else (a bare word, a stray comma, a string that goes on
  // past the bytes at hand) is left for the reader to meet and refuse, so
  // that a fault gets one answer wherever it lies in the file.
  enum class Want { ValueOrClose, Value, KeyOrClose, Key, Colon, CommaOrClose };
  std::vector<bool> arrays;  // the open containers, innermost last
  Want want = Want::Value;
  for (const char* p = pos_; p < end_;) {
    const char c = *p;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++p;
      continue;
    }
    const bool closes = c == ']' || c == '}';
    if (closes) {
      if (arrays.empty() || arrays.back() != (c == ']')) return false;
      const bool may = want == Want::CommaOrClose || (c == ']' ? want == Want::ValueOrClose : want == Want::KeyOrClose);
      if (!may) return false;
      arrays.pop_back();
      if (arrays.empty()) {
        pos_ = p - 1;  // at least the opening bracket
        return true;
      }
      want = Want::CommaOrClose;
      ++p;
      continue;
    }
    switch (want) {
      case Want::Colon:
        if (c != ':') return false;
        want = Want::Value;
        ++p;
        continue;
      case Want::CommaOrClose:
        if (c != ',') return false;
        want = arrays.back() ? Want::Value : Want::Key;
        ++p;
        continue;
      case Want::Key:
      case Want::KeyOrClose:
        if (c != '"' || !(p = string_end(p, end_))) return false;
        want = Want::Colon;
        continue;
      case Want::Value:
      case Want::ValueOrClose:
        break;
    }
    // A value.
    if (c == '[' || c == '{') {
      arrays.push_back(c == '[');
      want = c == '[' ? Want::ValueOrClose : Want::KeyOrClose;
      ++p;
      continue;
    }
    if (c == '"') {
      p = string_end(p, end_);
    } else if (c == '-' || is_digit(c)) {
      p = number_end(p, end_);
    } else {
      const std::string_view rest(p, static_cast<std::size_t>(end_ - p));
      const std::string_view word = rest.starts_with("true")    ? "true"
                                    : rest.starts_with("false") ? "false"
                                    : rest.starts_with("null")  ? "null"
                                                                : "";
      p = word.empty() ? nullptr : p + word.size();
    }
    if (!p) return false;
    want = Want::CommaOrClose;
  }
  return false;
}

bool JsonSource::read_line(std::string& out) {
  out.clear();
  if (at_end()) return false;
  for (;;) {
    if (pos_ == end_ && !refill()) return !overlong_;
    const char* const nl = static_cast<const char*>(std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_)));
    const char* const stop = nl ? nl : end_;
    out.append(pos_, stop);
    pos_ = stop;
    if (nl) {
      ++pos_;
      mark_value();
      return true;
    }
  }
}

// ---- the reader --------------------------------------------------------------

namespace {

class Handler {
 public:
  Handler(JsonSource& source, JsonSink& sink, std::size_t max_depth)
      : source_(source), sink_(sink), max_depth_(max_depth) {}

  bool Null() { return scalar({}); }
  bool Bool(bool b) {
    JsonScalar v;
    v.kind = JsonScalar::Kind::Bool;
    v.boolean = b;
    return scalar(v);
  }
  // Numbers come as their text (kParseNumbersAsStringsFlag), read when a
  // sink asks: exactly, whatever their size, and without RapidJSON's own
  // conversion, which shifts out of range on "0e300". RapidJSON's numbers
  // are never given with that flag.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    JsonScalar v;
    v.kind = JsonScalar::Kind::Number;
    v.text = std::string_view(s, n);
    return scalar(v);
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    JsonScalar v;
    v.kind = JsonScalar::Kind::String;
    v.text = std::string_view(s, n);
    return scalar(v);
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    source_.mark_value();
    path_.back().key.assign(s, n);
    return true;
  }
  bool StartObject() { return start(false); }
  bool StartArray() { return start(true); }
  bool EndObject(rapidjson::SizeType) { return end(false); }
  bool EndArray(rapidjson::SizeType) { return end(true); }

  bool too_deep() const { return too_deep_; }

 private:
  bool scalar(const JsonScalar& v) {
    source_.mark_value();
    if (!sink_.value(path_, v)) return false;
    advance();
    return true;
  }
  bool start(bool array) {
    source_.mark_value();
    if (path_.size() >= max_depth_) {
      too_deep_ = true;
      return false;
    }
    if (!sink_.open(path_, array)) return false;
    const bool pass_over = !sink_.wanted(path_, array);
    path_.push_back(JsonFrame{array, {}, 0});
    if (pass_over) source_.pass_over_container();
    return true;
  }
  bool end(bool array) {
    source_.mark_value();
    path_.pop_back();
    if (!sink_.close(path_, array)) return false;
    advance();
    return true;
  }
  void advance() {
    if (!path_.empty() && path_.back().array) ++path_.back().index;
  }

  JsonSource& source_;
  JsonSink& sink_;
  std::size_t max_depth_;
  JsonPath path_;
  bool too_deep_ = false;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

JsonScanResult scan_json(JsonSource& source, JsonSink& sink, std::size_t max_depth) {
  JsonScanResult result;
  // A byte order mark, which some editors write.
  if (source.head().starts_with("\xEF\xBB\xBF"))
    for (int i = 0; i < 3; ++i) source.Take();
  rapidjson::Reader reader;
  for (;;) {
    while (is_space(source.Peek())) source.Take();
    if (source.at_end()) break;
    Handler handler(source, sink, max_depth);
    source.mark_value();
    const rapidjson::ParseResult parsed =
        reader.Parse<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseIterativeFlag |
                     rapidjson::kParseNumbersAsStringsFlag>(source, handler);
    result.line = source.line();
    if (source.cancelled()) {
      result.ok = false;
      result.error = "Opening it was cancelled";
      return result;
    }
    if (!source.read_error().empty()) {
      result.ok = false;
      result.error = "It could not be read to its end: " + source.read_error();
      return result;
    }
    if (parsed.IsError()) {
      result.ok = false;
      if (source.overlong()) {
        result.error = "It holds a value longer than 64 MB, which no run has";
      } else if (handler.too_deep()) {
        result.error = "Its values are nested deeper than any run's (line " + std::to_string(result.line) + ")";
      } else if (parsed.Code() == rapidjson::kParseErrorNumberTooBig) {
        // Valid JSON, but beyond what any figure can be.
        result.error = "It holds a number too large for any figure (line " + std::to_string(result.line) + ")";
      } else if (parsed.Code() == rapidjson::kParseErrorTermination) {
        result.sink_stopped = true;
      } else if (source.at_end()) {
        result.cut_short = true;
        result.error = "It ends in the middle of a value: it may have been cut off while it was written";
      } else {
        std::string what = rapidjson::GetParseError_En(parsed.Code());
        if (!what.empty() && what.back() == '.') what.pop_back();
        if (!what.empty()) what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
        result.error = "It is not valid JSON: " + what + " (line " + std::to_string(result.line) + ")";
      }
      return result;
    }
    ++result.documents;
    if (!sink.document_end()) {
      result.ok = false;
      result.sink_stopped = true;
      return result;
    }
  }
  return result;
}

}  // namespace trellan
