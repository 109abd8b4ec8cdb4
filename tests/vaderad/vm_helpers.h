// Hand-written VaderAD programs for the VM and JSON tests: a growing
// instruction array plus its string pool, and a VM with a private arena.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vaderad/turbo_arena.h"
#include "vaderad/turbo_format.h"
#include "vaderad/turbo_vm.h"

struct Prog {
  std::vector<ln_instr_t> code;
  std::string pool;

  uint32_t add(uint8_t op, uint8_t flags = 0, uint16_t aux = 0) {
    ln_instr_t in;
    memset(&in, 0, sizeof in);
    in.op = op;
    in.flags = flags;
    in.aux = aux;
    code.push_back(in);
    return static_cast<uint32_t>(code.size() - 1);
  }
  ln_instr_t &at(uint32_t i) { return code[i]; }
  // Opcode with a name or text in data.str.
  uint32_t str(uint8_t op, const std::string &s, uint8_t flags = 0, uint16_t aux = 0) {
    uint32_t i = add(op, flags, aux);
    memcpy(code[i].data.str, s.data(), std::min<size_t>(s.size(), 59));
    return i;
  }
  uint32_t field(uint8_t op, const std::string &name, uint16_t aux = 0, uint8_t extra = 0) {
    return str(op, name, LN_IF_STORE | extra, aux);
  }
  uint32_t literal(const std::string &s) { return str(OP_LITERAL, s, 0, static_cast<uint16_t>(s.size())); }
  uint32_t jump(uint8_t op, uint32_t target) {
    uint32_t i = add(op);
    code[i].data.jump.offset = static_cast<int32_t>(target) - static_cast<int32_t>(i);
    return i;
  }
  void patch(uint32_t i, uint32_t target) {
    code[i].data.jump.offset = static_cast<int32_t>(target) - static_cast<int32_t>(i);
  }
  uint32_t intern(const std::string &s) {
    uint32_t off = static_cast<uint32_t>(pool.size());
    pool.append(s);
    pool.push_back('\0');
    return off;
  }
  uint32_t kv(const std::string &key, const std::string &val, uint8_t flags = 0) {
    uint32_t i = add(OP_STATIC_FIELD, flags, static_cast<uint16_t>(key.size()));
    memcpy(code[i].data.kv.key, key.data(), key.size());
    memcpy(code[i].data.kv.val, val.data(), val.size());
    return i;
  }
  uint32_t char_to(const std::string &name, char delim, uint8_t extra = 0) {
    uint32_t i = add(OP_FIELD_CHAR_TO, LN_IF_STORE | extra);
    memcpy(code[i].data.char_to.name, name.data(), name.size());
    code[i].data.char_to.delim = static_cast<uint8_t>(delim);
    return i;
  }
  uint32_t match(const std::string &rule = "r") { return str(OP_MATCH, rule); }
  uint32_t here() const { return static_cast<uint32_t>(code.size()); }
  ln_program_t view() const {
    ln_program_t v{};
    v.code = code.data();
    v.code_len = static_cast<uint32_t>(code.size());
    v.name = "test";
    v.strpool = pool.empty() ? nullptr : pool.data();
    v.strpool_len = static_cast<uint32_t>(pool.size());
    return v;
  }
};

struct Vm {
  ln_arena_t arena{};
  ln_vm_t vm{};
  ln_fast_result_t res{};
  ln_program_t view{};
  explicit Vm(size_t arena_size = 16384) {
    EXPECT_EQ(ln_arena_init_sized(&arena, arena_size), 0);
    EXPECT_EQ(ln_vm_init(&vm, &arena), 0);
  }
  ~Vm() {
    ln_vm_destroy(&vm);
    ln_arena_destroy(&arena);
  }
  Vm(const Vm &) = delete;
  Vm &operator=(const Vm &) = delete;
  int run(const Prog &p, const std::string &input) {
    ln_fast_result_clear(&res);
    res.arena = &arena;
    ln_arena_reset(&arena);
    view = p.view();
    return ln_vm_exec(&vm, &view, input.data(), input.size(), &res);
  }
  std::string error() const { return vm.error ? vm.error : ""; }
  // "name=value" of every field in storing order, values as text or integer.
  std::string fields() const {
    std::string out;
    for (int i = 0; i < res.n_fields; ++i) {
      const ln_fast_field_t &f = res.fields[i];
      if (!out.empty()) out += ' ';
      out.append(f.name, f.name_len);
      out += '=';
      if (f.type == LN_FTYPE_INT)
        out += std::to_string(f.v.i);
      else if (f.type == LN_FTYPE_STRING)
        out.append(f.v.str.ptr, f.v.str.len);
      else if (f.type == LN_FTYPE_STRING_INLINE)
        out.append(f.v.inl, f.inl_len);
    }
    return out;
  }
};
