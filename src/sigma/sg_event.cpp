// Events files read one event at a time, flattened to field/value pairs.
#include "sigma/sg_event.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include <libfastjson/json.h>

#include "normalizer/json_text.h"

namespace {

// Beyond this many fields an event keeps a key index, so replacing a
// repeated key stays cheap for very wide events.
constexpr size_t kIndexFrom = 32;

struct json_ref {
  fjson_object *o = nullptr;
  ~json_ref() {
    if (o) fjson_object_put(o);
  }
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void flatten(sg_event *ev, fjson_object *v, std::string &key) {
  if (!v) return; // null contributes nothing
  switch (fjson_object_get_type(v)) {
    case fjson_type_null:
      return;
    case fjson_type_object: {
      const size_t base = key.size();
      struct fjson_object_iterator it = fjson_object_iter_begin(v);
      struct fjson_object_iterator end = fjson_object_iter_end(v);
      while (!fjson_object_iter_equal(&it, &end)) {
        const char *name = fjson_object_iter_peek_name(&it);
        key.resize(base);
        if (base) key.push_back('.');
        key.append(name ? name : "");
        if (key.size() > SG_EVENT_MAX_KEY) key.resize(SG_EVENT_MAX_KEY);
        flatten(ev, fjson_object_iter_peek_value(&it), key);
        fjson_object_iter_next(&it);
      }
      key.resize(base);
      return;
    }
    case fjson_type_array: {
      const size_t base = key.size();
      const size_t n = static_cast<size_t>(fjson_object_array_length(v));
      for (size_t i = 0; i < n && i < SG_EVENT_MAX_ARRAY; ++i) {
        key.resize(base);
        key += "[" + std::to_string(i) + "]";
        if (key.size() > SG_EVENT_MAX_KEY) key.resize(SG_EVENT_MAX_KEY);
        flatten(ev, fjson_object_array_get_idx(v, static_cast<int>(i)), key);
      }
      key.resize(base);
      return;
    }
    case fjson_type_string:
      ev->add(key, std::string_view(fjson_object_get_string(v),
                                    static_cast<size_t>(fjson_object_get_string_len(v))));
      return;
    default: {
      const char *text = fjson_object_to_json_string_ext(v, FJSON_TO_STRING_PLAIN);
      ev->add(key, text ? text : "");
      return;
    }
  }
}

// Builds the event from one parsed value.
void event_from(sg_event_reader *r, sg_event *ev, fjson_object *v) {
  ev->clear();
  std::string key;
  flatten(ev, v, key);
  if (!r->techno.empty() && !ev->get("techno")) ev->add("techno", r->techno);
  if (!r->product.empty() && !ev->get("product")) ev->add("product", r->product);
  for (const sg_kv &p : ev->kv)
    if (p.k == "@timestamp" || p.k == "_ts") {
      ev->has_ts = sg_parse_time(p.v, &ev->ts);
      if (!ev->has_ts) ev->ts = 0;
      break;
    }
}

int next_line(sg_event_reader *r, sg_event *ev, std::string *err) {
  while (r->pos < r->len) {
    const char *start = r->text + r->pos;
    const char *nl = static_cast<const char *>(memchr(start, '\n', r->len - r->pos));
    size_t n = nl ? static_cast<size_t>(nl - start) : r->len - r->pos;
    r->pos += n + (nl ? 1 : 0);
    while (n && (start[n - 1] == '\r' || start[n - 1] == ' ')) --n;
    while (n && (*start == ' ' || *start == '\t')) {
      ++start;
      --n;
    }
    if (n == 0) continue;
    size_t end = 0;
    json_ref v;
    v.o = ln_json_parse_prefix(start, n, &end);
    bool rest_blank = true;
    for (size_t i = end; i < n; ++i)
      if (!blank(start[i])) rest_blank = false;
    if (!v.o || !rest_blank) {
      *err = "event JSON parse failed";
      return -1;
    }
    event_from(r, ev, v.o);
    return 1;
  }
  r->done = true;
  return 0;
}

int next_element(sg_event_reader *r, sg_event *ev, std::string *err) {
  auto skip = [r] {
    while (r->pos < r->len && blank(r->text[r->pos])) ++r->pos;
  };
  skip();
  if (r->pos < r->len && r->text[r->pos] == ']') {
    ++r->pos;
    skip();
    r->done = true;
    if (r->pos != r->len) {
      *err = "events JSON is not an array";
      return -1;
    }
    return 0;
  }
  size_t end = 0;
  json_ref v;
  v.o = ln_json_parse_prefix(r->text + r->pos, r->len - r->pos, &end);
  if (!v.o) {
    *err = "events JSON is not an array";
    return -1;
  }
  r->pos += end;
  skip();
  if (r->pos < r->len && r->text[r->pos] == ',') {
    ++r->pos;
    skip();
    if (r->pos < r->len && r->text[r->pos] == ']') { // a trailing comma
      *err = "events JSON is not an array";
      return -1;
    }
  } else if (!(r->pos < r->len && r->text[r->pos] == ']')) {
    *err = "events JSON is not an array";
    return -1;
  }
  event_from(r, ev, v.o);
  return 1;
}

bool digits(std::string_view s, size_t at, size_t n, int *out) {
  if (at + n > s.size()) return false;
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = s[at + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool iso8601(std::string_view s, double *out) {
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (!digits(s, 0, 4, &y) || s.size() < 10 || s[4] != '-' || !digits(s, 5, 2, &mo) ||
      s[7] != '-' || !digits(s, 8, 2, &d))
    return false;
  if (y < 1 || mo < 1 || mo > 12 || d < 1) return false;
  static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > mdays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return false;
  size_t i = 10;
  double frac = 0;
  int64_t offset = 0;
  if (i < s.size()) {
    if (s[i] != 'T' && s[i] != 't' && s[i] != ' ') return false;
    ++i;
    if (!digits(s, i, 2, &h) || i + 2 >= s.size() || s[i + 2] != ':' || !digits(s, i + 3, 2, &mi))
      return false;
    i += 5;
    if (i < s.size() && s[i] == ':') {
      if (!digits(s, i + 1, 2, &sec)) return false;
      i += 3;
      if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        size_t j = i + 1;
        double scale = 0.1;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
          frac += (s[j] - '0') * scale;
          scale /= 10;
          ++j;
        }
        if (j == i + 1) return false;
        i = j;
      }
    }
    if (h > 23 || mi > 59 || sec > 60) return false;
    if (i < s.size()) {
      if ((s[i] == 'Z' || s[i] == 'z') && i + 1 == s.size()) {
        ++i;
      } else if (s[i] == '+' || s[i] == '-') {
        const int sign = s[i] == '-' ? -1 : 1;
        int oh, om = 0;
        if (!digits(s, i + 1, 2, &oh)) return false;
        size_t j = i + 3;
        if (j < s.size() && s[j] == ':') ++j;
        if (j < s.size()) {
          if (!digits(s, j, 2, &om)) return false;
          j += 2;
        }
        if (j != s.size() || oh > 23 || om > 59) return false;
        offset = sign * (oh * 3600 + om * 60);
        i = j;
      } else {
        return false;
      }
    }
  }
  if (i != s.size()) return false;
  const int64_t days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  *out = static_cast<double>(days * 86400 + h * 3600 + mi * 60 + sec - offset) + frac;
  return true;
}

} // namespace

void sg_event::clear() {
  kv.clear();
  index.clear();
  ts = 0;
  has_ts = false;
}

void sg_event::add(std::string_view k, std::string_view v) {
  if (k.empty()) return;
  if (kv.size() < kIndexFrom) {
    for (sg_kv &p : kv)
      if (p.k == k) {
        p.v.assign(v);
        return;
      }
  } else {
    if (index.empty())
      for (size_t i = 0; i < kv.size(); ++i) index.emplace(kv[i].k, i);
    auto it = index.find(k);
    if (it != index.end()) {
      kv[it->second].v.assign(v);
      return;
    }
  }
  kv.push_back(sg_kv{std::string(k), std::string(v)});
  if (!index.empty()) index.emplace(kv.back().k, kv.size() - 1);
}

const std::string *sg_event::get(std::string_view k) const {
  if (!index.empty()) {
    auto it = index.find(k);
    return it == index.end() ? nullptr : &kv[it->second].v;
  }
  for (const sg_kv &p : kv)
    if (p.k == k) return &p.v;
  return nullptr;
}

bool sg_events_begin(sg_event_reader *r, const char *text, size_t len, const char *techno,
                     const char *product, std::string *err) {
  *r = sg_event_reader{};
  r->techno = techno ? techno : "";
  r->product = product ? product : "";
  size_t i = 0;
  while (text && i < len && blank(text[i])) ++i;
  if (!text || i == len || (text[i] != '[' && text[i] != '{')) {
    *err = "events must be JSON or JSONL";
    return false;
  }
  r->text = text;
  r->len = len;
  r->lines = text[i] == '{';
  r->pos = r->lines ? i : i + 1;
  return true;
}

int sg_events_next(sg_event_reader *r, sg_event *ev, std::string *err) {
  if (r->done) return 0;
  try {
    return r->lines ? next_line(r, ev, err) : next_element(r, ev, err);
  } catch (const std::bad_alloc &) {
    *err = "out of memory";
    r->done = true;
    return -1;
  }
}

bool sg_parse_time(std::string_view text, double *out) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty() || text.size() > 64) return false;
  double t;
  if (text.size() >= 10 && text[4] == '-') {
    if (!iso8601(text, &t)) return false;
  } else {
    char buf[65];
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    char *end = nullptr;
    t = strtod(buf, &end);
    if (end != buf + text.size() || !std::isfinite(t)) return false;
    if (std::fabs(t) >= 1e11) t /= 1000; // milliseconds
  }
  // Years 1 to 9999.
  if (!(t >= -62135596800.0 && t <= 253402300799.999)) return false;
  *out = t;
  return true;
}
