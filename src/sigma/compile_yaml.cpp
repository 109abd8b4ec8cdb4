// The YAML subset reader of the Sigma compiler (see compile_yaml.h).
#include "sigma/compile_yaml.h"

#include <cstdio>
#include <optional>
#include <unordered_set>

namespace sg_yaml {

namespace {

// Nesting deeper than this is refused, so a hostile text cannot exhaust the
// stack of the recursive reader.
constexpr int kMaxDepth = 64;

[[noreturn]] void fail(int line, const std::string &what) {
  throw error("line " + std::to_string(line) + ": " + what);
}

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view ltrim(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view rtrim(std::string_view s) {
  while (!s.empty() && (blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8_len(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

void put_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// After a closing quote only blanks and a comment may follow.
void check_after_quote(std::string_view rest, int line) {
  rest = ltrim(rest);
  if (!rest.empty() && rest.front() != '#')
    fail(line, "text after the closing quote; quote the whole value");
}

// A quoted scalar at the start of s. Returns the text and sets `used` to the
// bytes consumed, closing quote included.
std::string read_quoted(std::string_view s, int line, size_t &used) {
  std::string out;
  char q = s.front();
  size_t i = 1;
  while (i < s.size()) {
    char c = s[i];
    if (q == '\'') {
      if (c == '\'') {
        if (i + 1 < s.size() && s[i + 1] == '\'') {
          out += '\'';
          i += 2;
          continue;
        }
        used = i + 1;
        return out;
      }
      out += c;
      ++i;
      continue;
    }
    if (c == '"') {
      used = i + 1;
      return out;
    }
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= s.size()) break;
    char e = s[i + 1];
    i += 2;
    switch (e) {
    case '\\': out += '\\'; break;
    case '"': out += '"'; break;
    case '/': out += '/'; break;
    case ' ': out += ' '; break;
    case '\t': out += '\t'; break;
    case 'n': out += '\n'; break;
    case 't': out += '\t'; break;
    case 'r': out += '\r'; break;
    case 'a': out += '\a'; break;
    case 'b': out += '\b'; break;
    case 'e': out += '\x1b'; break;
    case 'x':
    case 'u':
    case 'U': {
      size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : 8;
      uint32_t cp = 0;
      for (size_t k = 0; k < digits; ++k) {
        int h = i + k < s.size() ? hexval(s[i + k]) : -1;
        if (h < 0) fail(line, std::string("bad \\") + e + " escape in a double-quoted value");
        cp = cp * 16 + static_cast<uint32_t>(h);
      }
      i += digits;
      if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        fail(line, "escape names no Unicode character");
      put_utf8(out, cp);
      break;
    }
    default:
      fail(line, std::string("unknown escape \\") + e +
                     " in a double-quoted value (write \\\\ for a backslash, or use single quotes)");
    }
  }
  fail(line, std::string("unterminated ") + (q == '"' ? "double" : "single") +
                 "-quoted value (quoted values must end on their line)");
}

// Characters that cannot start a plain scalar in this subset, with the reason.
const char *special_start(std::string_view s) {
  switch (s.front()) {
  case '[':
  case ']':
  case '{':
  case '}':
  case ',': return "flow collections ([...] and {...}) are not supported; use block style";
  case '|':
  case '>': return "block scalars (| and >) are not supported; write the value on one line";
  case '&': return "anchors (&name) are not supported";
  case '*': return "aliases (*name) are not supported; quote a value that starts with '*'";
  case '!': return "tags (!name) are not supported";
  case '%':
  case '@':
  case '`': return "a plain value cannot start with this character; quote the value";
  default: break;
  }
  if (s.front() == '-' && (s.size() == 1 || blank(s[1])))
    return "a list cannot start on the line of its key";
  if (s.front() == '?' && (s.size() == 1 || blank(s[1])))
    return "complex keys (? key) are not supported";
  return nullptr;
}

node scalar(std::string_view s, int line) {
  node n;
  n.line = line;
  s = ltrim(s);
  if (s.empty() || s.front() == '#') return n; // nothing after the colon: null
  if (s.front() == '"' || s.front() == '\'') {
    size_t used = 0;
    n.text = read_quoted(s, line, used);
    check_after_quote(s.substr(used), line);
    n.kind = node::SCALAR;
    n.quoted = true;
    return n;
  }
  if (const char *why = special_start(s)) fail(line, why);
  // A comment starts at a '#' after a blank.
  for (size_t i = 1; i < s.size(); ++i)
    if (s[i] == '#' && blank(s[i - 1])) {
      s = s.substr(0, i);
      break;
    }
  s = rtrim(s);
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == ':' && (i + 1 == s.size() || blank(s[i + 1])))
      fail(line, "': ' inside a plain value; quote the value");
  if (s == "~" || s == "null" || s == "Null" || s == "NULL") return n;
  n.kind = node::SCALAR;
  n.text = std::string(s);
  return n;
}

struct kv {
  std::string key;
  std::string_view value;
};

// Splits "key: value" (or "key:"); nothing when the line is no mapping entry.
std::optional<kv> split_key(std::string_view s, int line) {
  if (s.front() == '"' || s.front() == '\'') {
    size_t used = 0;
    std::string key = read_quoted(s, line, used);
    std::string_view rest = ltrim(s.substr(used));
    if (rest.empty() || rest.front() != ':' || (rest.size() > 1 && !blank(rest[1])))
      return std::nullopt;
    return kv{std::move(key), rest.substr(1)};
  }
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '#' && i > 0 && blank(s[i - 1])) return std::nullopt;
    if (s[i] == ':' && (i + 1 == s.size() || blank(s[i + 1]))) {
      std::string_view key = rtrim(s.substr(0, i));
      if (key.empty()) fail(line, "empty key");
      if (const char *why = special_start(key)) fail(line, why);
      return kv{std::string(key), s.substr(i + 1)};
    }
  }
  return std::nullopt;
}

bool is_item(std::string_view s) { return s.front() == '-' && (s.size() == 1 || blank(s[1])); }

struct pline {
  int indent;
  std::string_view content; // non-empty, no leading or trailing blanks
  int number;
};

class reader {
 public:
  explicit reader(std::vector<pline> lines) : L_(std::move(lines)) {}

  node root() {
    if (L_.empty()) return node{};
    node n = block(L_[0].indent, 0);
    if (i_ < L_.size()) fail(L_[i_].number, "bad indentation");
    return n;
  }

 private:
  std::vector<pline> L_;
  size_t i_ = 0;

  node block(int indent, int depth) {
    if (depth > kMaxDepth) fail(L_[i_].number, "nesting deeper than 64 levels");
    return is_item(L_[i_].content) ? seq(indent, depth) : map(indent, depth);
  }

  node seq(int indent, int depth) {
    node n;
    n.kind = node::SEQ;
    n.line = L_[i_].number;
    while (i_ < L_.size() && L_[i_].indent == indent && is_item(L_[i_].content)) {
      pline &pl = L_[i_];
      std::string_view rest = pl.content.substr(1);
      size_t skip = 1;
      while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1), ++skip;
      if (rest.empty() || rest.front() == '#') {
        int line = pl.number;
        ++i_;
        if (i_ < L_.size() && L_[i_].indent > indent) {
          n.seq.push_back(block(L_[i_].indent, depth + 1));
        } else {
          node null_item;
          null_item.line = line;
          n.seq.push_back(null_item);
        }
        continue;
      }
      if (is_item(rest) || split_key(rest, pl.number)) {
        // "- key: value" or "- - item": the rest of the line opens a block
        // whose indentation is the column where it starts.
        pl.indent += static_cast<int>(skip);
        pl.content = rest;
        n.seq.push_back(block(pl.indent, depth + 1));
        continue;
      }
      n.seq.push_back(scalar(rest, pl.number));
      ++i_;
      if (i_ < L_.size() && L_[i_].indent > indent)
        fail(L_[i_].number, "unexpected indentation (multi-line values are not supported)");
    }
    return n;
  }

  node map(int indent, int depth) {
    node n;
    n.kind = node::MAP;
    n.line = L_[i_].number;
    std::unordered_set<std::string> keys; // a linear search would be quadratic
    while (i_ < L_.size()) {
      const pline &pl = L_[i_];
      if (pl.indent < indent) break;
      if (pl.indent > indent) fail(pl.number, "unexpected indentation");
      if (is_item(pl.content)) fail(pl.number, "list item where a key was expected");
      std::optional<kv> p = split_key(pl.content, pl.number);
      if (!p)
        fail(pl.number, "expected 'key: value' (multi-line plain values are not supported)");
      if (!keys.insert(p->key).second) fail(pl.number, "duplicate key '" + p->key + "'");
      entry e;
      e.key = std::move(p->key);
      e.line = pl.number;
      e.val = scalar(p->value, pl.number);
      ++i_;
      if (e.val.kind == node::NUL) {
        if (i_ < L_.size() && L_[i_].indent > indent)
          e.val = block(L_[i_].indent, depth + 1);
        else if (i_ < L_.size() && L_[i_].indent == indent && is_item(L_[i_].content))
          e.val = seq(indent, depth + 1);
      } else if (i_ < L_.size() && L_[i_].indent > indent) {
        fail(L_[i_].number, "unexpected indentation (multi-line values are not supported)");
      }
      n.map.push_back(std::move(e));
    }
    return n;
  }
};

} // namespace

const entry *node::get_entry(std::string_view key) const {
  for (const entry &e : map)
    if (e.key == key) return &e;
  return nullptr;
}

const node *node::get(std::string_view key) const {
  const entry *e = get_entry(key);
  return e ? &e->val : nullptr;
}

std::vector<document> split_documents(std::string_view text, size_t max_docs) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  // Bytes first: a binary file is refused before any of it is interpreted.
  int line = 1;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      ++i;
      continue;
    }
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
      char msg[80];
      snprintf(msg, sizeof msg, "control byte 0x%02X; this is not a YAML text", c);
      fail(line, msg);
    }
    size_t n = utf8_len(text, i);
    if (n == 0) fail(line, "invalid UTF-8; this is not a YAML text");
    i += n;
  }

  std::vector<document> docs;
  document cur;
  auto close = [&] {
    if (!cur.lines.empty()) {
      if (docs.size() >= max_docs)
        throw error("more than " + std::to_string(max_docs) + " documents (limit " +
                    std::to_string(max_docs) + ")");
      cur.index = static_cast<int>(docs.size()) + 1;
      docs.push_back(std::move(cur));
    }
    cur = document{};
  };
  line = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(pos, end - pos);
    ++line;
    pos = end + 1;
    std::string_view t = rtrim(raw);
    if (t == "---" || t == "..." || t.substr(0, 4) == "--- " || t.substr(0, 4) == "---\t") {
      std::string_view after = ltrim(t.substr(3));
      if (!after.empty() && after.front() != '#')
        fail(line, "content on the '---' line is not supported");
      close();
      continue;
    }
    if (t.substr(0, 12) == "# hark-tier:") {
      std::string_view v = rtrim(ltrim(t.substr(12)));
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      v = v.substr(0, v.find(' '));
      cur.hark_tier = std::string(v);
      continue;
    }
    std::string_view c = ltrim(t);
    if (c.empty() || c.front() == '#') continue;
    if (cur.lines.empty()) cur.first_line = line;
    cur.lines.push_back({line, raw});
  }
  close();
  return docs;
}

node parse_document(const document &doc) {
  std::vector<pline> lines;
  lines.reserve(doc.lines.size());
  for (const document::raw_line &rl : doc.lines) {
    std::string_view s = rl.text;
    size_t n = 0;
    while (n < s.size() && s[n] == ' ') ++n;
    if (n < s.size() && s[n] == '\t')
      fail(rl.number, "tab in indentation (YAML indents with spaces only)");
    lines.push_back({static_cast<int>(n), rtrim(s.substr(n)), rl.number});
  }
  return reader(std::move(lines)).root();
}

} // namespace sg_yaml
