#pragma once
// Whether a file is a shared object the dynamic loader can map without reading past
// its end. The loader maps the segments a file's program headers describe: a part of
// a segment beyond the end of a truncated file is a bus error at the first touch,
// inside the loader, that no caller can catch.
#include <string>

namespace morla {

// True for a regular file holding an ELF object of this process's class and byte
// order whose program header table and every segment's bytes lie inside the file.
// Opens the file without waiting (a FIFO is no object).
bool is_whole_elf_object(const std::string& path);

// True for a file that starts with an ELF header of another class, byte order or machine
// than this process's: the loader passes over such a file while it searches its folders.
bool is_foreign_elf_object(const std::string& path);

}  // namespace morla
