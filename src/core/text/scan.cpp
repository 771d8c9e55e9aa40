#include "text/scan.hpp"

namespace korvel::text {

Format sniff(const char* head, size_t n) {
  Span rest{head, head + n};
  while (!rest.empty()) {
    const char* nl = static_cast<const char*>(std::memchr(rest.b, '\n', rest.size()));
    Span line{rest.b, nl ? nl : rest.e};
    rest.b = nl ? nl + 1 : rest.e;
    line = trim(line);
    if (line.empty() || *line.b == '#') continue;  // blank, a candump comment
    if (*line.b == '(') return Format::Candump;
    if (*line.b == ';') return Format::Trc;
    Span t = line;
    const Span first = next_token(t);
    if (equals(first, "date") || equals(first, "base") || equals(first, "begin") ||
        starts_with(first, "//") || equals(first, "internal") || equals(first, "no"))
      return Format::Asc;
    if (is_digit(*first.b)) return first.e[-1] == ')' ? Format::Trc : Format::Asc;
    return Format::Unknown;
  }
  return Format::Unknown;
}

}  // namespace korvel::text
