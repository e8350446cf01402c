// Wire form of form messages: encoded and folded header lines, and a
// quoted-printable body where a plain one would not travel.
#include "Orvane/SendVetter/challenge/mail_format.h"

#include <algorithm>
#include <vector>

#include "Orvane/SendVetter/message/encoded_words.h"

namespace Orvane::SendVetter {

namespace {

constexpr std::size_t kFoldWidth = 78;
constexpr std::size_t kLongestLine = 998;
// A plain word longer than this is encoded, so that a field name, a run of
// blanks (at most kFoldWidth - 1 are kept) and the word stay within
// kLongestLine.
constexpr std::size_t kLongestPlainWord = 800;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool has_8bit(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

// A word and the blanks before it; only the last word of a line may be
// empty (trailing blanks). Longer runs of blanks are cut: they show nothing.
struct Word {
  std::string blanks, text;
};

std::vector<Word> split_words(std::string_view text) {
  std::vector<Word> words;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t word = at;
    while (word < text.size() && is_blank(text[word])) ++word;
    std::size_t end = word;
    while (end < text.size() && !is_blank(text[end])) ++end;
    words.push_back({std::string(text.substr(at, std::min(word - at, kFoldWidth - 1))),
                     std::string(text.substr(word, end - word))});
    at = end;
  }
  return words;
}

bool needs_encoding(const std::string& word) {
  return has_8bit(word) || word.size() > kLongestPlainWord;
}

// A run of words that need encoding is encoded as one text, blanks
// included: a decoder drops the blanks between two encoded words. One
// charset serves the whole line.
std::vector<Word> encode_where_needed(const std::vector<Word>& words, bool utf8) {
  std::vector<Word> out;
  for (std::size_t i = 0; i < words.size();) {
    if (!needs_encoding(words[i].text)) {
      out.push_back(words[i++]);
      continue;
    }
    std::string run = words[i].text;
    std::size_t next = i + 1;
    for (; next < words.size() && needs_encoding(words[next].text); ++next)
      run += words[next].blanks + words[next].text;
    const std::vector<std::string> encoded = encode_words(run, utf8);
    out.push_back({words[i].blanks, encoded[0]});
    for (std::size_t k = 1; k < encoded.size(); ++k) out.push_back({" ", encoded[k]});
    i = next;
  }
  return out;
}

// Breaks before the blanks of a word that would pass the fold width; a
// line is never left without a word, and a word without blanks before it
// stays where it is.
std::string fold(const std::string& start, const std::vector<Word>& words) {
  std::string out = start;
  std::size_t line = start.size();
  bool line_has_word = !start.empty();
  for (const Word& word : words) {
    const std::size_t width = word.blanks.size() + word.text.size();
    if (line_has_word && !word.blanks.empty() && !word.text.empty() && line + width > kFoldWidth) {
      out += '\n';
      line = 0;
    }
    out += word.blanks + word.text;
    line += width;
    line_has_word = line_has_word || !word.text.empty();
  }
  return out;
}

void append_quoted_printable_line(std::string& out, std::string_view line) {
  static const char kHex[] = "0123456789ABCDEF";
  constexpr std::size_t kWidth = 76;
  std::size_t column = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    std::string piece;
    if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
      piece = static_cast<char>(c);
    } else {
      piece = {'=', kHex[c >> 4], kHex[c & 0x0F]};
    }
    // Room is kept for the "=" of a soft line break.
    if (column + piece.size() > kWidth - 1) {
      out += "=\n";
      column = 0;
    }
    out += piece;
    column += piece.size();
  }
}

bool travels_as_it_is(std::string_view body) {
  std::size_t line = 0;
  for (char c : body) {
    if (c == '\n') {
      line = 0;
      continue;
    }
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0' || ++line > kLongestLine) return false;
  }
  return true;
}

}  // namespace

std::string header_for_sending(const std::string& line) {
  // The field name ("Subject:") is the form's own text and is never encoded.
  std::size_t name_end = 0;
  if (!line.empty() && !is_blank(line[0])) {
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && colon < line.find_first_of(" \t")) name_end = colon + 1;
  }
  const std::vector<Word> words = split_words(std::string_view(line).substr(name_end));
  return fold(line.substr(0, name_end), encode_where_needed(words, is_valid_utf8(line)));
}

BodyForSending body_for_sending(const std::string& body) {
  if (travels_as_it_is(body)) return {"", body};
  BodyForSending sent;
  sent.mime_headers = std::string("MIME-Version: 1.0\nContent-Type: text/plain; charset=") +
                      (is_valid_utf8(body) ? "UTF-8" : "ISO-8859-1") +
                      "\nContent-Transfer-Encoding: quoted-printable\n";
  for (std::size_t at = 0; at < body.size();) {
    std::size_t end = body.find('\n', at);
    const bool has_end = end != std::string::npos;
    if (!has_end) end = body.size();
    std::string_view line = std::string_view(body).substr(at, end - at);
    if (has_end && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    append_quoted_printable_line(sent.text, line);
    if (has_end) sent.text += '\n';
    at = end + 1;
  }
  return sent;
}

}  // namespace Orvane::SendVetter
