// Parse cores of the flat structured parsers (name-value-list, cef,
// checkpoint-lea, v2-iptables). Each core reads a payload and hands every
// (name, value) member it finds to a sink, in the order of the payload. The
// walker's parser functions (parser_struct.cpp) are wrappers whose sink
// builds the libfastjson object; VaderAD's sink (src/vaderad/turbo_vm_struct.cpp)
// stores the members as fields of its flat result. With one parse
// implementation the two engines accept the same bytes and see the same
// members.
#pragma once

#include <cstddef>
#include <string_view>

#include "normalizer/parser.h"

// Which object a member belongs to: the value itself, or the "Extensions"
// object of a cef value (whose six header members come first).
enum ln_member_group { LN_MEMBERS_TOP = 0, LN_MEMBERS_CEF_EXT = 1 };

class ln_member_sink {
public:
  // One member, in payload order; a later member of the same name replaces
  // the value of the earlier one (the walker's object keeps the first
  // position with the last value). key and val may point into the message or
  // into a buffer that lives only for this call. val null is a JSON null (an
  // iptables flag without "="). Members reach the sink before the core knows
  // whether the payload matches: only a return of 0 from the core makes them
  // the value. Returns 0 to go on; any other value ends the parse and is
  // what the core returns (LN_RC_NO_MEMORY when memory runs out).
  virtual int member(int group, std::string_view key, const char *val, size_t vlen) = 0;

protected:
  ~ln_member_sink() = default;
};

// The cores follow the parser contract of parser.h (0, LN_RC_NO_MATCH, or
// LN_RC_NO_MEMORY; *parsed set on a match), with a sink in place of the value
// (null: only match); a sink's non-zero return is passed on. cef names its headers DeviceVendor, DeviceProduct,
// DeviceVersion, SignatureID, Name and Severity.
int ln_members_NameValue(npb_t *npb, size_t *offs, const data_NameValue &cfg, size_t *parsed,
                         ln_member_sink *sink);
int ln_members_CEF(npb_t *npb, size_t *offs, size_t *parsed, ln_member_sink *sink);
int ln_members_CheckpointLEA(npb_t *npb, size_t *offs, char terminator, size_t *parsed,
                             ln_member_sink *sink);
int ln_members_v2IPTables(npb_t *npb, size_t *offs, size_t *parsed, ln_member_sink *sink);

// Where the JSON object of a cee-syslog payload at offs starts ("@cee:",
// blanks, "{"): 0 with *start set, or LN_RC_NO_MATCH. The payload must then
// be one object that ends the message (trailing whitespace allowed).
int ln_cee_object_start(const npb_t *npb, size_t offs, size_t *start);
