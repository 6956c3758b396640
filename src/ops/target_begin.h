// Every function defined from here to target_end.h is compiled for the instruction set
// MORLA_TARGET names (for instance "avx2"), whatever the file's own flags say. Include
// after the headers, so that nothing they define picks up the instruction set (the test
// isa_symbols, scripts/check_isa_symbols.py, finds a weak symbol defined inside a region).
// No include guard: each per-ISA file opens and closes one such region.
#ifndef MORLA_TARGET
#error "define MORLA_TARGET before including ops/target_begin.h"
#endif
#ifndef MORLA_PRAGMA
#define MORLA_PRAGMA(...) _Pragma(#__VA_ARGS__)
#define MORLA_TARGET_PUSH(isa) \
  MORLA_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define MORLA_GCC_TARGET(isa) MORLA_PRAGMA(GCC target(isa))
#endif
#if defined(__clang__)
MORLA_TARGET_PUSH(MORLA_TARGET)
#else
#pragma GCC push_options
MORLA_GCC_TARGET(MORLA_TARGET)
#endif
