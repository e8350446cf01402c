// Authentication-Results reading. A header value is lexed once: comments
// dropped, quoted strings kept whole, the statements split at ";". The
// first statement is the authserv-id (and an optional version); each other
// one is "method=result" followed by "ptype.property=value" pairs.
//
// Only a header with our id is trusted, and only the topmost one: the mail
// server adds its own above everything the sender wrote, and the operator
// guide has it remove incoming headers that claim our id.
#include "Orvane/SendVetter/message/authresults.h"

#include <vector>

#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/header_block.h"

namespace Orvane::SendVetter {

namespace {

struct Token {
  std::string text;
  bool quoted = false;
  bool is_equals() const { return !quoted && text == "="; }
};
using Statement = std::vector<Token>;

// With id_only, lexing stops at the first token: a header that is not ours
// (any stranger can write one of any size) then costs no token list.
std::vector<Statement> lex(std::string_view value, bool id_only) {
  std::vector<Statement> statements(1);
  std::string word;
  auto end_word = [&] {
    if (!word.empty()) statements.back().push_back({word});
    word.clear();
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (id_only && (!statements[0].empty() || statements.size() > 1)) return statements;
    const char c = value[i];
    if (c == '(') {  // a comment, possibly nested, with quoted-pairs
      end_word();
      int depth = 1;
      while (++i < value.size() && depth > 0) {
        if (value[i] == '\\') ++i;
        else if (value[i] == '(') ++depth;
        else if (value[i] == ')') --depth;
      }
      --i;
    } else if (c == '"') {
      end_word();
      Token quoted{"", true};
      while (++i < value.size() && value[i] != '"') {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        quoted.text += value[i];
      }
      statements.back().push_back(quoted);
    } else if (c == ';') {
      end_word();
      statements.emplace_back();
    } else if (c == '=') {
      end_word();
      statements.back().push_back({"="});
    } else if (c == ' ' || c == '\t') {
      end_word();
    } else {
      word += c;
    }
  }
  end_word();
  return statements;
}

// The domain of an address or a bare domain, lower-cased.
std::string domain_part(const std::string& value) {
  return ascii_lower(value.substr(value.rfind('@') + 1));
}

struct Verdicts {
  bool dmarc_fail = false, spf_fail = false, dkim_pass = false;
};

void judge(const Statement& statement, const std::string& domain, Verdicts& verdicts) {
  if (statement.size() < 3 || !statement[1].is_equals()) return;
  std::string method = ascii_lower(statement[0].text);
  method = method.substr(0, method.find('/'));  // "dkim/1"
  const std::string result = ascii_lower(statement[2].text);
  bool names_domain = false;
  for (std::size_t i = 3; i + 2 < statement.size(); ++i) {
    if (!statement[i + 1].is_equals()) continue;
    const std::string property = ascii_lower(statement[i].text);
    if (property == "smtp.mailfrom" || property == "header.d" || property == "header.i")
      names_domain = names_domain || (!domain.empty() && domain_part(statement[i + 2].text) == domain);
  }
  if (method == "dmarc" && result == "fail") verdicts.dmarc_fail = true;
  if (method == "spf" && result == "fail" && names_domain) verdicts.spf_fail = true;
  if (method == "dkim" && result == "pass" && names_domain) verdicts.dkim_pass = true;
}

}  // namespace

bool from_domain_failed(const PackedLines& headers, const std::string& authserv_id,
                        const std::string& from_domain) {
  if (authserv_id.empty()) return false;
  for (std::string_view value : header_values("authentication-results", headers)) {
    const std::vector<Statement> id = lex(value, true);
    if (id[0].empty() || ascii_lower(id[0][0].text) != ascii_lower(authserv_id)) continue;
    const std::vector<Statement> statements = lex(value, false);
    Verdicts verdicts;
    const std::string domain = ascii_lower(from_domain);
    for (std::size_t i = 1; i < statements.size(); ++i) judge(statements[i], domain, verdicts);
    return verdicts.dmarc_fail || (verdicts.spf_fail && !verdicts.dkim_pass);
  }
  return false;
}

}  // namespace Orvane::SendVetter
