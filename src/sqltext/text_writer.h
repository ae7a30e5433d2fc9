// Writes statement text into one buffer sized up front, with plain copies instead of
// growing a string piece by piece. An estimate that falls short only costs a regrowth.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::sqltext {

class TextWriter {
 public:
  explicit TextWriter(std::size_t capacity)
      : text_(capacity, '\0'), cursor_(text_.data()), end_(cursor_ + capacity) {}

  void put(std::string_view piece) {
    if (piece.empty()) return;  // a default view has no data at all, which memcpy must not be given
    reserve(piece.size());
    std::memcpy(cursor_, piece.data(), piece.size());
    cursor_ += piece.size();
  }

  void put(char c) {
    reserve(1);
    *cursor_++ = c;
  }

  std::size_t size() const noexcept { return static_cast<std::size_t>(cursor_ - text_.data()); }
  std::string_view view() const noexcept { return {text_.data(), size()}; }

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

// `name` as it stands between quotes: every `quote` text and '%' doubled (see quoting.h).
template <typename Out>
void write_escaped(Out& out, std::string_view name, std::string_view quote) {
  if (quote.size() == 1) {
    // The common case: copy the runs between characters that need doubling at once.
    const char q = quote[0];
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
      const char c = name[i];
      if (c != q && c != '%') continue;
      out.put(name.substr(start, i + 1 - start));
      out.put(c);
      start = i + 1;
    }
    out.put(name.substr(start));
    return;
  }
  std::size_t i = 0;
  while (i < name.size()) {
    if (!quote.empty() && name.compare(i, quote.size(), quote) == 0) {
      out.put(quote);
      out.put(quote);
      i += quote.size();
      continue;
    }
    const char c = name[i++];
    if (c == '%') out.put('%');
    out.put(c);
  }
}

// `name` between `open` and `close`, the closing text doubled inside.
template <typename Out>
void write_quoted(Out& out, std::string_view name, std::string_view open, std::string_view close) {
  out.put(open);
  write_escaped(out, name, close);
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

// A host package's name as the text layer writes it: its text, or, for a name that is no
// plain string, a hole that the caller fills in itself (it joins the name to the text
// around it as Python's + would).
struct HostName {
  HostName(std::string_view name_text) : text(name_text) {}  // NOLINT: a text is a host name
  HostName(const char* name_text) : text(name_text) {}       // NOLINT
  HostName(const std::string& name_text) : text(name_text) {}  // NOLINT
  // A hole; `text` is the name's text where it has one (a string of a kind of its own), for
  // the texts written around it that depend on it.
  static HostName hole_for(int index, std::string_view text = {}) {
    HostName name{text};
    name.hole = index;
    return name;
  }
  bool is_hole() const noexcept { return hole >= 0; }

  std::string_view text;
  int hole = -1;  // the caller's index of the name, when it is a hole
};

// Statement text with holes where host names go that are no plain strings. Without holes
// it is simply the text.
class Parts {
 public:
  struct Hole {
    std::size_t at;  // where in the text
    int name;        // the caller's index
    bool quoted;     // between column quotes: the caller doubles the quote and '%' in it
  };

  explicit Parts(std::size_t capacity = 64) : out_(capacity) {}

  void put(std::string_view piece) { out_.put(piece); }
  void put(char c) { out_.put(c); }
  // A host name, bare or between `quote`s.
  void name(const HostName& name, std::string_view quote = {});

  std::string_view text() const noexcept { return out_.view(); }
  const std::vector<Hole>& holes() const noexcept { return holes_; }
  // The text alone, when there are no holes.
  std::string take_text() && { return std::move(out_).finish(); }

 private:
  TextWriter out_;
  std::vector<Hole> holes_;
};

inline void Parts::name(const HostName& name, std::string_view quote) {
  if (!name.is_hole()) {
    if (quote.empty()) {
      put(name.text);
    } else {
      write_quoted(*this, name.text, quote);
    }
    return;
  }
  put(quote);
  holes_.push_back({out_.size(), name.hole, !quote.empty()});
  put(quote);
}

// Adapts a std::string to the writers above.
struct StringOut {
  std::string& text;
  void put(std::string_view piece) { text.append(piece); }
  void put(char c) { text.push_back(c); }
};

}  // namespace velmor::sqltext
