// The .sigmac image: CRC-32C, exact layout, round trip byte for byte with
// zero gaps, every load check with its error code (overflowing runs, negative
// CIDR index, prefix wider than the address, unterminated names), version 4,
// regular expressions, file loading, and memory bounded by the image.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <new>
#include <string>

#include "sigma/sigma_format.h"
#include "sigma_builder.h"

// The replacement operators below pair operator new with free() on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts the bytes requested through operator new while armed, to check
// that loading stays within a bound proportional to the image.
static std::atomic<bool> g_count{false};
static std::atomic<uint64_t> g_new_bytes{0};
void *operator new(size_t n) {
  if (g_count) g_new_bytes += n;
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  if (g_count) g_new_bytes += n;
  return std::malloc(n ? n : 1);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }

namespace {

using sigma_test::builder;
using sigma_test::fix_crc;
using sigma_test::load;

const uint8_t kNet10[4] = {10, 0, 0, 0};

// A database that uses every section.
builder full_builder() {
  builder b;
  b.rules.reserve(4);
  uint32_t c = b.cidr(4, 8, kNet10);
  uint32_t r0 = b.rule(7, {{{"event.category", SIGMA_OP_EQ, "process"}},
                           {{"process.name", SIGMA_OP_CONTAINS, "mimikatz", 0, 0},
                            {"process.name", SIGMA_OP_ENDSWITH, ".exe", 1, 0}}},
                       {{SIGMA_C_SEL, 0}, {SIGMA_C_SEL, 1}, {SIGMA_C_AND, 0}});
  uint32_t r1 = b.rule(9, {{{"source.ip", SIGMA_OP_CIDR, "", 0, 0, 0, c},
                            {"destination.port", SIGMA_OP_GT, "", 0, 1, 1024}}});
  b.rules[r0].mitre_id = b.value("T1003");
  b.rules[r1].name_id = b.value("Odd port");
  b.bucket("process", {r0});
  b.bucket("", {r1});
  b.rule_clauses = {1, 1};
  b.needle("mimikatz", {{r0, "process.name", 0}});
  sigma_fwit_t w{};
  w.rule_idx = r1, w.field_id = uint16_t(b.field("destination.port")), w.clause_idx = 0;
  w.op = SIGMA_OP_GT, w.ival = 1024;
  b.fwit.push_back(w);
  return b;
}

uint32_t u32_at(const std::vector<uint8_t> &img, size_t off) {
  uint32_t v;
  std::memcpy(&v, img.data() + off, 4);
  return v;
}
void put_u32(std::vector<uint8_t> &img, size_t off, uint32_t v) { std::memcpy(img.data() + off, &v, 4); }

TEST(SigmaDb, Crc32cKnownVector) {
  EXPECT_EQ(sigma_crc32c("123456789", 9), 0xE3069283u);
  EXPECT_EQ(sigma_crc32c("", 0), 0u);
  std::string longer(1000, 'x');
  // The 8-byte stride and the byte tail agree.
  uint32_t bytewise = 0xFFFFFFFFu;
  for (unsigned char ch : longer) {
    bytewise ^= ch;
    for (int k = 0; k < 8; k++) bytewise = (bytewise & 1) ? (bytewise >> 1) ^ 0x82F63B78u : bytewise >> 1;
  }
  EXPECT_EQ(sigma_crc32c(longer.data(), longer.size()), ~bytewise);
}

TEST(SigmaDb, LayoutOfASmallImage) {
  builder b = full_builder();
  std::vector<uint8_t> img = b.image();
  sigma_header_t h;
  std::memcpy(&h, img.data(), sizeof h);
  EXPECT_EQ(h.magic, 0x53474D41u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(img.data()), 4), "AMGS");
  EXPECT_EQ(h.version, 5u);
  EXPECT_EQ(h.total_len, img.size());
  EXPECT_EQ(h.off_fields, 144u);
  EXPECT_EQ(h.off_values, 144u + 8 * b.fields.size());
  EXPECT_EQ(h.off_preds, h.off_values + 8 * b.values.size());
  EXPECT_EQ(h.off_sels, h.off_preds + 24 * b.preds.size());
  EXPECT_EQ(h.off_cond, h.off_sels + 8 * b.sels.size());
  EXPECT_EQ(h.off_rules, h.off_cond + 8 * b.cond.size());
  EXPECT_EQ(h.off_cidrs, h.off_rules + 32 * b.rules.size());
  const uint32_t a = (h.off_cidrs + 20 + 7) & ~7u;
  EXPECT_EQ(h.off_bucket_keys, a);
  EXPECT_EQ(h.off_buckets, a + 16);
  EXPECT_EQ(h.off_bucket_idx, a + 32);
  EXPECT_EQ(h.off_litndl, ((a + 32 + 8) + 7) & ~7u);
  EXPECT_EQ(h.off_litpost, h.off_litndl + 8);
  EXPECT_EQ(h.off_litpost_ref, h.off_litpost + 8);
  EXPECT_EQ(h.off_litav, 0u);
  EXPECT_EQ(h.off_rule_clauses, h.off_litpost_ref + 8);
  EXPECT_EQ(h.off_fwit, (h.off_rule_clauses + 2 + 7) & ~7u);
  EXPECT_EQ(h.off_strpool, h.off_fwit + 16);
  EXPECT_EQ(h.strpool_len, b.pool.size());
  EXPECT_EQ(img.size(), h.off_strpool + b.pool.size() + 4);
  EXPECT_EQ(u32_at(img, img.size() - 4), sigma_crc32c(img.data(), img.size() - 4));
}

TEST(SigmaDb, RoundTripIsByteExactWithZeroGaps) {
  builder b = full_builder();
  std::vector<uint8_t> img = b.image();
  sigma_db_t db{};
  ASSERT_EQ(load(img, &db), SIGMA_OK);
  // The views hold the same records.
  ASSERT_EQ(db.n_preds, b.preds.size());
  EXPECT_EQ(std::memcmp(db.preds, b.preds.data(), 24 * b.preds.size()), 0);
  EXPECT_EQ(std::memcmp(db.rules, b.rules.data(), 32 * b.rules.size()), 0);
  EXPECT_EQ(std::string(db.strpool, db.strpool_len), b.pool);
  EXPECT_EQ(db.av_bucket, 1u);
  EXPECT_EQ(db.cat_field_id, b.field("event.category"));
  ASSERT_NE(db.rule_clauses, nullptr);
  // Written again from the views, the image is the same.
  uint8_t *again = nullptr;
  size_t n = 0;
  ASSERT_EQ(sigma_db_serialize(&db, &again, &n), SIGMA_OK);
  ASSERT_EQ(n, img.size());
  EXPECT_EQ(std::memcmp(again, img.data(), n), 0);
  std::free(again);
  sigma_db_free(&db);
  EXPECT_EQ(db.backing, nullptr);

  // Every byte outside the header, the sections, the pool and the CRC is zero.
  sigma_header_t h;
  std::memcpy(&h, img.data(), sizeof h);
  std::vector<bool> used(img.size(), false);
  auto mark = [&](uint32_t off, uint64_t bytes) {
    for (uint64_t i = 0; i < bytes; i++) used[off + i] = true;
  };
  mark(0, 144);
  mark(h.off_fields, 8ull * h.n_fields);
  mark(h.off_values, 8ull * h.n_values);
  mark(h.off_preds, 24ull * h.n_preds);
  mark(h.off_sels, 8ull * h.n_sels);
  mark(h.off_cond, 8ull * h.n_cond);
  mark(h.off_rules, 32ull * h.n_rules);
  mark(h.off_cidrs, 20ull * h.n_cidrs);
  mark(h.off_bucket_keys, 8ull * h.n_buckets);
  mark(h.off_buckets, 8ull * h.n_buckets);
  mark(h.off_bucket_idx, 4ull * h.n_bucket_idx);
  mark(h.off_litndl, 8ull * h.n_litndl);
  mark(h.off_litpost, 8ull * h.n_litndl);
  mark(h.off_litpost_ref, 8ull * h.n_litpost_ref);
  mark(h.off_rule_clauses, h.n_rules);
  mark(h.off_fwit, 16ull * h.n_fwit);
  mark(h.off_strpool, h.strpool_len);
  mark(uint32_t(img.size() - 4), 4);
  size_t gaps = 0;
  for (size_t i = 0; i < img.size(); i++)
    if (!used[i]) {
      gaps++;
      EXPECT_EQ(img[i], 0) << "gap byte at " << i;
    }
  EXPECT_GT(gaps, 0u); // the layout does have alignment gaps to check
}

TEST(SigmaDb, EmptyDatabaseLoads) {
  builder b;
  sigma_db_t db{};
  ASSERT_EQ(load(b.image(), &db), SIGMA_OK);
  EXPECT_EQ(db.n_rules, 0u);
  EXPECT_EQ(db.bucket_keys, nullptr);
  EXPECT_EQ(db.av_bucket, SIGMA_NONE);
  EXPECT_EQ(db.cat_field_id, SIGMA_NONE);
  sigma_db_free(&db);
}

TEST(SigmaDb, HeaderAndSizeChecks) {
  const std::vector<uint8_t> good = full_builder().image();
  struct image_case {
    const char *name;
    std::function<void(std::vector<uint8_t> &)> edit;
    int rc;
  };
  const std::vector<image_case> cases = {
      {"eleven bytes", [](auto &i) { i.resize(11); }, SIGMA_ERR_SIZE},
      {"bad magic", [](auto &i) { i[0] ^= 1; }, SIGMA_ERR_MAGIC},
      {"version 6", [](auto &i) { put_u32(i, 4, 6); }, SIGMA_ERR_VERSION},
      {"version 3", [](auto &i) { put_u32(i, 4, 3); }, SIGMA_ERR_VERSION},
      {"header cut short", [](auto &i) { i.resize(147); }, SIGMA_ERR_SIZE},
      {"one byte shorter", [](auto &i) { i.pop_back(); }, SIGMA_ERR_SIZE},
      {"one byte longer", [](auto &i) { i.push_back(0); }, SIGMA_ERR_SIZE},
      {"flipped pool byte", [](auto &i) { i[i.size() - 6] ^= 0x20; }, SIGMA_ERR_CRC},
      {"flipped CRC byte", [](auto &i) { i.back() ^= 1; }, SIGMA_ERR_CRC},
      {"flipped record byte", [](auto &i) { i[200] ^= 0x40; }, SIGMA_ERR_CRC},
      {"misaligned section",
       [](auto &i) {
         put_u32(i, 36, u32_at(i, 36) + 4);
         fix_crc(i);
       },
       SIGMA_ERR_RANGE},
      {"section past the end",
       [](auto &i) {
         put_u32(i, 44, uint32_t(i.size() + 8) & ~7u);
         fix_crc(i);
       },
       SIGMA_ERR_RANGE},
      {"count times size overflows 32 bits",
       [](auto &i) {
         put_u32(i, 32, 0x0AAAAAABu); // x 24 wraps to a small number in 32 bits
         fix_crc(i);
       },
       SIGMA_ERR_RANGE},
      {"pool past the end",
       [](auto &i) {
         put_u32(i, 64, u32_at(i, 64) + 5);
         fix_crc(i);
       },
       SIGMA_ERR_RANGE},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> img = good;
    c.edit(img);
    sigma_db_t db{};
    db.n_rules = 12345; // untouched on failure
    EXPECT_EQ(load(img, &db), c.rc) << c.name;
    EXPECT_EQ(db.n_rules, 12345u) << c.name;
  }
  sigma_db_t db{};
  EXPECT_EQ(sigma_db_load_buffer(nullptr, 200, &db), SIGMA_ERR_SIZE);
}

TEST(SigmaDb, CrossReferenceChecks) {
  struct range_case {
    const char *name;
    std::function<void(builder &)> edit;
    int rc = SIGMA_ERR_RANGE;
  };
  const std::vector<range_case> cases = {
      {"field name without NUL", [](builder &b) { b.fields.push_back(b.str("tail")); }},
      {"field name at the end of the pool",
       [](builder &b) { b.fields.push_back(sigma_str_t{uint32_t(b.pool.size()), 0}); }},
      {"value past the pool", [](builder &b) { b.values[0].len = uint32_t(b.pool.size()); }},
      {"value off + len wraps 32 bits", [](builder &b) { b.values[0] = {0xFFFFFFF0u, 0x20}; }},
      {"predicate field", [](builder &b) { b.preds[0].field_id = uint16_t(b.fields.size()); }},
      {"predicate value", [](builder &b) { b.preds[0].value_id = uint32_t(b.values.size()); }},
      {"field reference", [](builder &b) {
         b.preds[0].flags = SIGMA_PF_FIELDREF;
         b.preds[0].value_id = uint32_t(b.fields.size());
       }},
      {"cidr index", [](builder &b) { b.preds[3].value_id = 1; }},
      {"selection past preds", [](builder &b) { b.sels[0].pred_count = uint32_t(b.preds.size() + 1); }},
      {"selection start + count wraps", [](builder &b) { b.sels[0] = {0xFFFFFFFFu, 2}; }},
      {"rule selections wrap", [](builder &b) { b.rules[0].sel_start = 0xFFFFFFFFu; }},
      {"rule tokens past cond", [](builder &b) { b.rules[0].cond_count = 4; }},
      {"rule name", [](builder &b) { b.rules[0].name_id = uint32_t(b.values.size()); }},
      {"rule technique", [](builder &b) { b.rules[0].mitre_id = uint32_t(b.values.size()); }},
      {"token kind 4", [](builder &b) { b.cond[0].kind = 4; }},
      {"IPv4 prefix 33", [](builder &b) { b.cidrs[0].prefix = 33; }},
      {"IPv6 prefix 129", [](builder &b) {
         b.cidrs[0].family = 6;
         b.cidrs[0].prefix = 129;
       }},
      {"family 5", [](builder &b) { b.cidrs[0].family = 5; }},
      {"two empty bucket keys", [](builder &b) { b.bucket("", {0}); }},
      {"bucket key past the pool", [](builder &b) { b.bucket_keys[0].off = uint32_t(b.pool.size()); }},
      {"bucket run wraps", [](builder &b) { b.buckets[0] = {0xFFFFFFFFu, 2}; }},
      {"bucket rule position", [](builder &b) { b.bucket_idx[0] = 2; }},
      {"empty needle", [](builder &b) { b.litndl[0].len = 0; }},
      {"needle run past refs", [](builder &b) { b.litpost[0].idx_count = 2; }},
      {"ref rule", [](builder &b) { b.litpost_ref[0].rule_idx = 2; }},
      {"ref field", [](builder &b) { b.litpost_ref[0].field_id = uint16_t(b.fields.size()); }},
      {"ref clause beyond count", [](builder &b) { b.litpost_ref[0].clause_idx = 1; }},
      {"ref clause 32", [](builder &b) {
         b.rule_clauses[0] = 32;
         b.litpost_ref[0].clause_idx = 32;
       }},
      {"refs without clause counts", [](builder &b) {
         b.rule_clauses.clear();
         b.fwit.clear();
       }},
      {"clause count 33", [](builder &b) { b.rule_clauses[1] = 33; }},
      {"litav rule with clauses", [](builder &b) { b.litav = {1}; }},
      {"litav position", [](builder &b) {
         b.rule_clauses[1] = 0;
         b.fwit.clear();
         b.litav = {2};
       }},
      {"fwit any field", [](builder &b) { b.fwit[0].field_id = SIGMA_ANY_FIELD; }},
      {"fwit rule", [](builder &b) { b.fwit[0].rule_idx = 5; }},
      {"fwit operator EQ", [](builder &b) { b.fwit[0].op = SIGMA_OP_EQ; }},
      {"fwit negative CIDR index", [](builder &b) {
         b.fwit[0].op = SIGMA_OP_CIDR;
         b.fwit[0].ival = -1;
       }},
      {"fwit CIDR index = n_cidrs", [](builder &b) {
         b.fwit[0].op = SIGMA_OP_CIDR;
         b.fwit[0].ival = 1;
       }},
      {"regex without a value", [](builder &b) {
         b.preds[0].op = SIGMA_OP_RE;
         b.preds[0].value_id = SIGMA_NONE;
       },
       SIGMA_ERR_REGEX},
  };
  // The unedited database loads, so each failure below is the edit's.
  {
    sigma_db_t db{};
    ASSERT_EQ(load(full_builder().image(), &db), SIGMA_OK);
    EXPECT_EQ(db.preds[3].op, SIGMA_OP_CIDR);
    sigma_db_free(&db);
  }
  for (const auto &c : cases) {
    builder b = full_builder();
    c.edit(b);
    std::vector<uint8_t> img = b.image();
    ASSERT_FALSE(img.empty()) << c.name;
    sigma_db_t db{};
    EXPECT_EQ(load(img, &db), c.rc) << c.name;
  }
}

TEST(SigmaDb, RegexCompilation) {
  builder b;
  b.rule(1, {{{"cmd", SIGMA_OP_RE, "a(b"}}});   // does not compile
  b.rule(2, {{{"cmd", SIGMA_OP_RE, "^ab+c$"}}}); // compiles
  sigma_db_t db{};
  ASSERT_EQ(load(b.image(), &db), SIGMA_OK);
  EXPECT_EQ(db.n_re_skipped, 1u);
  ASSERT_NE(db.re, nullptr);
  // Finalizing again changes nothing.
  EXPECT_EQ(sigma_db_finalize(&db), SIGMA_OK);
  EXPECT_EQ(db.n_re_skipped, 1u);
  sigma_db_free(&db);
}

TEST(SigmaDb, Version4ImageLoads) {
  builder b = full_builder();
  b.fwit.clear();
  b.rule_clauses[1] = 0;
  std::vector<uint8_t> v5 = b.image();
  // Drop the fwit pair: every section moves 8 bytes down.
  std::vector<uint8_t> v4(v5.begin(), v5.begin() + 136);
  v4.insert(v4.end(), v5.begin() + 144, v5.end());
  put_u32(v4, 4, 4);
  uint64_t total = v4.size();
  std::memcpy(v4.data() + 8, &total, 8);
  for (size_t off : {20, 28, 36, 44, 52, 60, 68, 76, 88, 92, 100, 108, 112, 120, 128, 132}) {
    uint32_t o = u32_at(v4, off);
    if (o != 0) put_u32(v4, off, o - 8);
  }
  fix_crc(v4);
  sigma_db_t db{};
  ASSERT_EQ(load(v4, &db), SIGMA_OK);
  EXPECT_EQ(db.n_fwit, 0u);
  EXPECT_EQ(db.n_rules, 2u);
  EXPECT_EQ(std::string(db.strpool, db.strpool_len), b.pool);
  sigma_db_free(&db);
}

TEST(SigmaDb, LoadFile) {
  const std::string dir = ::testing::TempDir();
  const std::string path = dir + "/sigma_db_test_rules.sigmac";
  std::vector<uint8_t> img = full_builder().image();
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(img.data(), 1, img.size(), f);
  std::fclose(f);
  sigma_db_t db{};
  ASSERT_EQ(sigma_db_load_file(path.c_str(), &db), SIGMA_OK);
  EXPECT_EQ(db.n_rules, 2u);
  sigma_db_free(&db);

  f = std::fopen(path.c_str(), "wb");
  std::fclose(f);
  EXPECT_EQ(sigma_db_load_file(path.c_str(), &db), SIGMA_ERR_SIZE);
  std::remove(path.c_str());
  EXPECT_EQ(sigma_db_load_file(path.c_str(), &db), SIGMA_ERR_IO);
  EXPECT_EQ(sigma_db_load_file(dir.c_str(), &db), SIGMA_ERR_IO);
}

// Many fields with needles: per-field needle tables sized to every needle of
// the image would need gigabytes; sized to their own field's needles they
// stay within 64 bytes per image byte. Two shapes: a needle per field, and
// one needle referencing every field.
TEST(SigmaDb, LoadMemoryIsBoundedByTheImage) {
  const uint32_t n = 20000;
  for (bool shared : {false, true}) {
    builder b;
    b.rule(1, {{{"f0", SIGMA_OP_CONTAINS, "n0x"}}});
    for (uint32_t i = 0; i < n; i++) b.field("f" + std::to_string(i));
    b.rule_clauses = {32};
    if (shared) {
      std::vector<std::tuple<uint32_t, std::string, uint8_t>> refs;
      for (uint32_t i = 0; i < n; i++) refs.emplace_back(0, "f" + std::to_string(i), uint8_t(i % 32));
      b.needle("ab", refs);
    } else {
      for (uint32_t i = 0; i < n; i++)
        b.needle("n" + std::to_string(i) + "x", {{0, "f" + std::to_string(i), uint8_t(i % 32)}});
    }
    b.bucket("process", {0});
    std::vector<uint8_t> img = b.image();
    sigma_db_t db{};
    g_new_bytes = 0;
    g_count = true;
    int rc = load(img, &db);
    g_count = false;
    ASSERT_EQ(rc, SIGMA_OK);
    ASSERT_NE(db.field_teddy, nullptr);
    EXPECT_NE(db.field_teddy[n - 1], nullptr);
    // calloc'd arrays (field table pointers, clause masks) add 12 bytes per
    // field or rule at most.
    EXPECT_LT(g_new_bytes.load() + 12ull * n, 64 * img.size() + 256 * 1024)
        << (shared ? "shared needle" : "needle per field") << ", image " << img.size() << " bytes, "
        << g_new_bytes.load() << " allocated";
    sigma_db_free(&db);
  }
}

} // namespace
