// Writes statement text into one buffer sized up front, with plain copies instead of
// growing a string piece by piece. An estimate that falls short only costs a regrowth.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace velmor::sqltext {

class TextWriter {
 public:
  explicit TextWriter(std::size_t capacity)
      : text_(capacity, '\0'), cursor_(text_.data()), end_(cursor_ + capacity) {}

  void put(std::string_view piece) {
    reserve(piece.size());
    std::memcpy(cursor_, piece.data(), piece.size());
    cursor_ += piece.size();
  }

  void put(char c) {
    reserve(1);
    *cursor_++ = c;
  }

  // The text written so far; the writer is spent afterwards.
  std::string finish() && {
    text_.resize(static_cast<std::size_t>(cursor_ - text_.data()));
    return std::move(text_);
  }

 private:
  void reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cursor_) >= n) return;
    const auto used = static_cast<std::size_t>(cursor_ - text_.data());
    text_.resize(std::max(2 * text_.size(), used + n));
    cursor_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }

  std::string text_;
  char* cursor_;
  char* end_;
};

// `name` between `open` and `close`, the closing text and '%' doubled inside (see
// quoting.h).
template <typename Out>
void write_quoted(Out& out, std::string_view name, std::string_view open, std::string_view close) {
  out.put(open);
  if (close.size() == 1) {
    // The common case: copy the runs between characters that need doubling at once.
    const char q = close[0];
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
      const char c = name[i];
      if (c != q && c != '%') continue;
      out.put(name.substr(start, i + 1 - start));
      out.put(c);
      start = i + 1;
    }
    out.put(name.substr(start));
  } else {
    std::size_t i = 0;
    while (i < name.size()) {
      if (!close.empty() && name.compare(i, close.size(), close) == 0) {
        out.put(close);
        out.put(close);
        i += close.size();
        continue;
      }
      const char c = name[i++];
      if (c == '%') out.put('%');
      out.put(c);
    }
  }
  out.put(close);
}

template <typename Out>
void write_quoted(Out& out, std::string_view name, std::string_view quote) {
  write_quoted(out, name, quote, quote);
}

// `key` as a single-quoted literal, ' and % doubled.
template <typename Out>
void write_literal(Out& out, std::string_view key) {
  out.put('\'');
  std::size_t start = 0;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    if (c != '\'' && c != '%') continue;
    out.put(key.substr(start, i + 1 - start));
    out.put(c);
    start = i + 1;
  }
  out.put(key.substr(start));
  out.put('\'');
}

// Adapts a std::string to the writers above.
struct StringOut {
  std::string& text;
  void put(std::string_view piece) { text.append(piece); }
  void put(char c) { text.push_back(c); }
};

}  // namespace velmor::sqltext
