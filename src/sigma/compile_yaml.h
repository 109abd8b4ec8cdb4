// The YAML subset read by the Sigma compiler and lint: block mappings and
// block sequences of one-line scalars (plain, 'single-quoted' or
// "double-quoted"), comments, several documents separated by "---".
//
// Everything outside that subset (flow collections, block scalars, anchors,
// aliases, tags, multi-line scalars, tabs in indentation, control bytes,
// invalid UTF-8) is refused with a message naming the line, so a rule is
// never read differently from what a YAML reader would see.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sg_yaml {

// A refused input; what() names the line.
struct error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct entry;

struct node {
  enum kind_t { NUL, SCALAR, MAP, SEQ };
  kind_t kind = NUL;
  int line = 0;          // line of the scalar, or of the first key / item
  std::string text;      // SCALAR: the value with quotes and escapes resolved
  bool quoted = false;   // SCALAR: written in quotes
  std::vector<entry> map; // MAP: keys in order, no duplicates
  std::vector<node> seq;  // SEQ: items in order

  const node *get(std::string_view key) const;
  const entry *get_entry(std::string_view key) const;
};

struct entry {
  std::string key;
  int line = 0;
  node val;
};

// One document of a stream.
struct document {
  int index = 0;         // 1-based among the documents found
  int first_line = 0;    // line number of the first content line
  std::string hark_tier; // from a "# hark-tier:" comment line at column 0
  struct raw_line {
    int number; // 1-based line number in the whole text
    std::string_view text; // without the line end
  };
  std::vector<raw_line> lines;
};

// Splits a text into documents at "---" (and "...") lines. Documents without
// any content line are not counted. Throws error for control bytes or invalid
// UTF-8 (naming the line); max_docs + 1 documents throw too.
std::vector<document> split_documents(std::string_view text, size_t max_docs);

// Reads one document into a tree. The root is a MAP or NUL. Throws error.
node parse_document(const document &doc);

} // namespace sg_yaml
