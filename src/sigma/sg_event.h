// Sigma events: an events file (a JSON array or JSON Lines) read one event
// at a time and flattened to field/value pairs, and event times.
//
// The reader walks the text in place and hands out one event per call, so a
// file of any number of events is processed with the memory of one event;
// an event keeps every field it has (no cap), the last occurrence of a key
// winning.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sg_kv {
  std::string k;
  std::string v;
};

struct sg_event {
  std::vector<sg_kv> kv;
  double ts = 0;       // event time in seconds since the epoch
  bool has_ts = false; // ts came from a valid "@timestamp" or "_ts"
  // Key -> position, built once an event holds many fields. The keys are
  // copies, so the event can be copied and its pairs moved freely.
  struct key_hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, size_t, key_hash, std::equal_to<>> index;

  void clear();
  // Adds or replaces a pair; an empty key is ignored.
  void add(std::string_view k, std::string_view v);
  // The value of the pair with that key, or null.
  const std::string *get(std::string_view k) const;
};

// Longest flattened key kept, and elements taken from each JSON array.
constexpr size_t SG_EVENT_MAX_KEY = 255;
constexpr size_t SG_EVENT_MAX_ARRAY = 8;

struct sg_event_reader {
  const char *text = nullptr;
  size_t len = 0;
  size_t pos = 0;
  bool lines = false; // JSON Lines; otherwise one JSON array
  bool done = false;
  std::string techno, product;
};

// Starts reading: false with the message "events must be JSON or JSONL" when
// the text is neither. techno and product (may be null) are added to every
// event that lacks them.
bool sg_events_begin(sg_event_reader *r, const char *text, size_t len, const char *techno,
                     const char *product, std::string *err);
// The next event: 1 read, 0 at the end, -1 on a malformed event or text
// ("events JSON is not an array", "event JSON parse failed", "out of memory").
int sg_events_next(sg_event_reader *r, sg_event *ev, std::string *err);

// Parses an event time: ISO 8601 (date, optional time with fraction, "Z" or
// an offset) or epoch seconds or milliseconds (a number of 1e11 or more is
// taken as milliseconds). False for anything else, or a time outside the
// years 1 to 9999.
bool sg_parse_time(std::string_view text, double *out);
