// The 32 field-parser types by id: name, built-in priority (lower runs
// first), constructor, matching function, destructor.
#include "normalizer/parser.h"

#define FULL(stem) ln_construct##stem, ln_v2_parse##stem, ln_destruct##stem
#define ONLY(stem) nullptr, ln_v2_parse##stem, nullptr

const struct ln_parser_info parser_lookup_table[LN_NPARSER_TYPES] = {
    {"literal", 4, FULL(Literal)},
    {"repeat", 4, FULL(Repeat)},
    {"date-rfc3164", 8, FULL(RFC3164Date)},
    {"date-rfc5424", 8, FULL(RFC5424Date)},
    {"number", 16, FULL(Number)},
    {"float", 16, FULL(Float)},
    {"hexnumber", 16, FULL(HexNumber)},
    {"kernel-timestamp", 16, ONLY(KernelTimestamp)},
    {"whitespace", 4, ONLY(Whitespace)},
    {"ipv4", 4, ONLY(IPv4)},
    {"ipv6", 4, ONLY(IPv6)},
    {"word", 32, ONLY(Word)},
    {"alpha", 32, ONLY(Alpha)},
    {"rest", 255, ONLY(Rest)},
    {"op-quoted-string", 64, FULL(OpQuotedString)},
    {"quoted-string", 64, ONLY(QuotedString)},
    {"date-iso", 8, ONLY(ISODate)},
    {"time-24hr", 8, ONLY(Time24hr)},
    {"time-12hr", 8, ONLY(Time12hr)},
    {"duration", 16, ONLY(Duration)},
    {"cisco-interface-spec", 4, ONLY(CiscoInterfaceSpec)},
    {"json", 4, FULL(JSON)},
    {"cee-syslog", 4, ONLY(CEESyslog)},
    {"mac48", 16, ONLY(MAC48)},
    {"cef", 4, ONLY(CEF)},
    {"v2-iptables", 4, ONLY(v2IPTables)},
    {"name-value-list", 8, FULL(NameValue)},
    {"checkpoint-lea", 4, FULL(CheckpointLEA)},
    {"string-to", 32, FULL(StringTo)},
    {"char-to", 32, FULL(CharTo)},
    {"char-sep", 32, FULL(CharSeparated)},
    {"string", 32, FULL(String)},
};
