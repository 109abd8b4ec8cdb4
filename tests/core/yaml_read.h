// Reads YAML text back with libyaml into a small tree, so tests can check
// that what the tool writes as YAML parses and holds the expected values.
#pragma once

#include <yaml.h>

#include <string>
#include <utility>
#include <vector>

struct ynode {
  enum kind_t { NONE, SCALAR, SEQ, MAP } kind = NONE;
  std::string scalar;
  std::vector<ynode> seq;
  std::vector<std::pair<std::string, ynode>> map; // in document order

  // The value of a mapping key; a NONE node when absent.
  const ynode &operator[](const std::string &key) const {
    static const ynode none;
    for (const auto &kv : map)
      if (kv.first == key) return kv.second;
    return none;
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> k;
    for (const auto &kv : map) k.push_back(kv.first);
    return k;
  }
  std::vector<std::string> scalars() const {
    std::vector<std::string> s;
    for (const ynode &n : seq) s.push_back(n.scalar);
    return s;
  }
};

inline ynode yaml_convert(yaml_document_t *doc, yaml_node_t *n) {
  ynode out;
  if (!n) return out;
  switch (n->type) {
  case YAML_SCALAR_NODE:
    out.kind = ynode::SCALAR;
    out.scalar.assign(reinterpret_cast<const char *>(n->data.scalar.value), n->data.scalar.length);
    break;
  case YAML_SEQUENCE_NODE:
    out.kind = ynode::SEQ;
    for (yaml_node_item_t *i = n->data.sequence.items.start; i < n->data.sequence.items.top; ++i)
      out.seq.push_back(yaml_convert(doc, yaml_document_get_node(doc, *i)));
    break;
  case YAML_MAPPING_NODE:
    out.kind = ynode::MAP;
    for (yaml_node_pair_t *p = n->data.mapping.pairs.start; p < n->data.mapping.pairs.top; ++p)
      out.map.emplace_back(yaml_convert(doc, yaml_document_get_node(doc, p->key)).scalar,
                           yaml_convert(doc, yaml_document_get_node(doc, p->value)));
    break;
  default:
    break;
  }
  return out;
}

// Parses one YAML document; false (with the parser's problem in *error) when
// the text is not YAML.
inline bool yaml_read(const std::string &text, ynode *out, std::string *error) {
  yaml_parser_t parser;
  yaml_document_t doc;
  if (!yaml_parser_initialize(&parser)) return false;
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char *>(text.data()),
                               text.size());
  bool ok = yaml_parser_load(&parser, &doc) != 0;
  if (!ok) {
    if (error) *error = parser.problem ? parser.problem : "unknown YAML error";
  } else {
    *out = yaml_convert(&doc, yaml_document_get_root_node(&doc));
    yaml_document_delete(&doc);
  }
  yaml_parser_delete(&parser);
  return ok;
}
