// Field parser table and the contract every field parser follows.
//
// A matching function starts at *offs in npb->str (length npb->strLen), sets
// *parsed to 0 first and, on a match, sets *parsed to the bytes consumed and,
// when value is not null, *value to a new JSON value. It returns 0,
// LN_RC_NO_MATCH, or -1 when a copy cannot be allocated. It never reads past
// strLen. A constructor builds private data from the descriptor's remaining
// keys and returns 0 or an error code (LN_RC_BAD_CONFIG fails the field).
#pragma once

#include <cstddef>
#include <cstdint>

#include "normalizer/context.h"
#include "normalizer/pdag.h"
#include "normalizer/walker.h"

typedef int (*ln_parser_construct_fn)(ln_ctx ctx, struct fjson_object *json, void **pdata);
typedef int (*ln_parser_fn)(npb_t *npb, size_t *offs, void *pdata, const char *name,
                            size_t *parsed, struct fjson_object **value);
typedef void (*ln_parser_destruct_fn)(ln_ctx ctx, void *pdata);

struct ln_parser_info {
  const char *name;
  int prio;
  ln_parser_construct_fn construct;
  ln_parser_fn parser;
  ln_parser_destruct_fn destruct;
};

extern const struct ln_parser_info parser_lookup_table[LN_NPARSER_TYPES];

enum FMT_MODE {
  FMT_AS_STRING = 0,
  FMT_AS_NUMBER = 1,
  FMT_AS_TIMESTAMP_UX = 2,
  FMT_AS_TIMESTAMP_UX_MS = 3
};

#define LN_PARSER_FULL(stem)                                                        \
  int ln_construct##stem(ln_ctx ctx, struct fjson_object *json, void **pdata);      \
  int ln_v2_parse##stem(npb_t *npb, size_t *offs, void *pdata, const char *name,    \
                        size_t *parsed, struct fjson_object **value);               \
  void ln_destruct##stem(ln_ctx ctx, void *pdata);
#define LN_PARSER_ONLY(stem)                                                        \
  int ln_v2_parse##stem(npb_t *npb, size_t *offs, void *pdata, const char *name,    \
                        size_t *parsed, struct fjson_object **value);

// Scalars and text (parser_scalar.cpp).
LN_PARSER_FULL(Literal)
LN_PARSER_FULL(Number)
LN_PARSER_FULL(Float)
LN_PARSER_FULL(HexNumber)
LN_PARSER_ONLY(Whitespace)
LN_PARSER_ONLY(Word)
LN_PARSER_ONLY(Alpha)
LN_PARSER_ONLY(Rest)
LN_PARSER_FULL(StringTo)
LN_PARSER_FULL(CharTo)
LN_PARSER_FULL(CharSeparated)
LN_PARSER_ONLY(QuotedString)
LN_PARSER_FULL(OpQuotedString)
LN_PARSER_FULL(String)
// Literal helpers used by the DAG optimiser and display.
const char *ln_DataForDisplayLiteral(ln_ctx ctx, void *pdata);
const char *ln_JsonConfLiteral(ln_ctx ctx, void *pdata);
int ln_combineData_Literal(void *org, void *add);
const char *ln_DataForDisplayCharTo(ln_ctx ctx, void *pdata);

// Private data of the scalar and text parsers, shared with the VaderAD
// compiler, which reads the options of each edge.
struct data_Literal {
  char *lit;       // text to match
  char *json_conf; // JSON text of the descriptor
  size_t len;      // length of lit (a literal may hold a zero byte)
};

struct data_Number {
  int64_t maxval; // 0 = no limit
  enum FMT_MODE fmt_mode;
};

struct data_Float {
  enum FMT_MODE fmt_mode;
};

struct data_HexNumber {
  uint64_t maxval; // 0 = no limit
  enum FMT_MODE fmt_mode;
};

struct data_StringTo {
  char *toFind;
  size_t len;
};

struct data_CharTo {
  char *term_chars;
  size_t n_term_chars;
  char *data_for_display;
  bool term[256]; // lookup table built from term_chars
};

struct data_CharSeparated {
  char *term_chars;
  size_t n_term_chars;
  bool term[256];
};

struct data_OpQuotedString {
  bool escape;
};

enum { ST_QUOTE_AUTO = 0, ST_QUOTE_NONE = 1, ST_QUOTE_REQD = 2 };
enum { ST_MATCH_EXACT = 0, ST_MATCH_LAZY = 1 };
#define ST_ESC_BACKSLASH 1u
#define ST_ESC_DOUBLE 2u

struct data_String {
  int quoteMode;
  struct {
    unsigned strip_quotes : 1;
    unsigned esc_md : 2;
  } flags;
  int matching;
  int dashIsEmpty;
  char qchar_begin;
  char qchar_end;
  bool perm_chars[256];
};

// Dates, times and addresses (parser_datetime.cpp).
LN_PARSER_FULL(RFC5424Date)
LN_PARSER_FULL(RFC3164Date)
LN_PARSER_ONLY(KernelTimestamp)
LN_PARSER_ONLY(ISODate)
LN_PARSER_ONLY(Time24hr)
LN_PARSER_ONLY(Time12hr)
LN_PARSER_ONLY(Duration)
LN_PARSER_ONLY(IPv4)
LN_PARSER_ONLY(IPv6)
LN_PARSER_ONLY(MAC48)
int64_t syslogTime2time_t(int year, int month, int day, int hour, int minute, int second,
                          int OffsetHour, int OffsetMinute, char OffsetMode);

// Private data of the date and structured-payload parsers, shared with the
// VaderAD compiler, which reads the options of each edge.
struct data_RFC5424Date {
  enum FMT_MODE fmt_mode;
};
struct data_RFC3164Date {
  enum FMT_MODE fmt_mode;
};
struct data_JSON {
  int skipempty;
};
struct data_NameValue {
  char sep;                // separator byte, 0 = any whitespace
  char ass;                // assignment byte, 0 = "="
  char ignore_whitespaces; // boolean
};
struct data_CheckpointLEA {
  char terminator; // 0 = none
};
struct data_Repeat {
  struct ln_pdag *parser;     // sub-DAG of one item (owned)
  struct ln_pdag *while_cond; // sub-DAG between items (owned)
  int permitMismatchInParser;
  int failOnDuplicate;
};

// Structured payloads (parser_struct.cpp).
LN_PARSER_FULL(JSON)
LN_PARSER_ONLY(CEESyslog)
LN_PARSER_FULL(NameValue)
LN_PARSER_ONLY(CEF)
LN_PARSER_FULL(CheckpointLEA)
LN_PARSER_ONLY(v2IPTables)
LN_PARSER_ONLY(CiscoInterfaceSpec)
LN_PARSER_FULL(Repeat)

#undef LN_PARSER_FULL
#undef LN_PARSER_ONLY
