// Build steps of the module's debug file (firmware/CMakeLists.txt):
//
//   debugimage rename-sections IN.obj OUT.obj .debug_info=.dwinfo ...
//     copies a COFF object, giving its DWARF sections short names that the linker keeps in an
//     image linked without /debug (which would also add a debug directory to .rdata and move
//     .data). Every .debug_* section must have a new name, so nothing is silently lost.
//   debugimage epilogue-cfi IN.s OUT.s
//     copies the assembly llc writes for a routine file, adding call-frame rows to each
//     epilogue: LLVM describes the prologue and the argument pushes of a Windows target but not
//     the pops before a RET, where a debugger would otherwise find the caller's frame in the
//     wrong place. The rows go in as directives, so the instructions stay the same. Source
//     files in the directory it runs in (the compilation directory) are named relative to it,
//     as clang names them when it writes the object itself.
//   debugimage compare RELEASE.elf DEBUG.elf
//     fails unless every loaded section of the released image (but .reloc) lies in the debug
//     file at the same address with the same bytes, and the entry points agree.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "elf_file.h"
#include "files.h"
#include "format.h"

namespace peiboard {
namespace {

constexpr uint64_t kMaxInput = 64u << 20;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kCoffSectionHeaderSize = 40;
constexpr size_t kCoffSymbolSize = 18;

// The full name of a COFF section header: inline, or "/offset" into the string table.
Expected<std::string> section_name(std::span<const uint8_t> b, size_t header, size_t strings) {
  std::string name;
  for (size_t i = 0; i < 8 && b[header + i] != 0; ++i)
    name.push_back(static_cast<char>(b[header + i]));
  if (name.empty() || name[0] != '/') return name;
  size_t at = 0;
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return Error{"section name " + name + " is malformed"};
    at = at * 10 + static_cast<size_t>(name[i] - '0');
  }
  if (strings + at >= b.size()) return Error{"section name " + name + " lies outside the file"};
  std::string full;
  for (size_t i = strings + at; i < b.size() && b[i] != 0; ++i)
    full.push_back(static_cast<char>(b[i]));
  return full;
}

Expected<void> rename_sections(const std::string& in, const std::string& out,
                               const std::map<std::string, std::string>& names) {
  auto file = read_input_file(in, kMaxInput, "object file");
  if (!file) return file.error();
  std::vector<uint8_t>& b = *file;
  if (b.size() < kCoffHeaderSize || get16(b, 0) != kMachineI386 || get16(b, 16) != 0) {
    return Error{in + ": not an i386 COFF object"};
  }
  const uint16_t count = get16(b, 2);
  const uint64_t strings = uint64_t{get32(b, 8)} + uint64_t{get32(b, 12)} * kCoffSymbolSize;
  if (kCoffHeaderSize + size_t{count} * kCoffSectionHeaderSize > b.size() || strings > b.size()) {
    return Error{in + ": section headers or symbols lie outside the file"};
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t header = kCoffHeaderSize + i * kCoffSectionHeaderSize;
    auto name = section_name(b, header, static_cast<size_t>(strings));
    if (!name) return Error{in + ": " + name.error().message};
    if (name->rfind(".debug_", 0) != 0) continue;
    const auto it = names.find(*name);
    if (it == names.end()) return Error{in + ": no new name given for section " + *name};
    for (size_t k = 0; k < 8; ++k) {
      b[header + k] = k < it->second.size() ? static_cast<uint8_t>(it->second[k]) : 0;
    }
  }
  return write_output_file(out, b);
}

Expected<ElfFile> read_elf(const std::string& path) {
  auto bytes = read_input_file(path, kMaxInput, "ELF file");
  if (!bytes) return bytes.error();
  auto elf = ElfFile::parse(std::move(*bytes));
  if (!elf) return Error{path + ": " + elf.error().message};
  return elf;
}

Expected<std::string> compare(const std::string& release_path, const std::string& debug_path) {
  auto release = read_elf(release_path);
  if (!release) return release.error();
  auto debug = read_elf(debug_path);
  if (!debug) return debug.error();
  if (release->entry() != debug->entry()) {
    return Error{"entry point " + hex(debug->entry(), 8) + " differs from the release's " +
                 hex(release->entry(), 8)};
  }
  std::string matched;
  uint64_t bytes = 0;
  for (const auto& r : release->sections()) {
    // .reloc lists pages by RVA; the debug link's larger headers change its RVAs, not its code.
    if (!r.allocated() || r.name == ".reloc") continue;
    const ElfSection* d = debug->section(r.name);
    if (d == nullptr) return Error{std::string(r.name) + " is missing from the debug file"};
    if (d->address != r.address || d->size != r.size) {
      return Error{std::string(r.name) + " lies at " + hex(d->address, 8) + " size " +
                   hex(d->size) + " in the debug file, at " + hex(r.address, 8) + " size " +
                   hex(r.size) + " in the release"};
    }
    if (!std::equal(r.contents.begin(), r.contents.end(), d->contents.begin(), d->contents.end())) {
      return Error{std::string(r.name) +
                   " holds other bytes in the debug file than in the release"};
    }
    matched += " " + std::string(r.name);
    bytes += r.size;
  }
  for (const auto& d : debug->sections()) {
    if (d.allocated() && release->section(d.name) == nullptr) {
      return Error{"the debug file loads " + std::string(d.name) + ", which the release has not"};
    }
  }
  return matched.substr(1) + " (" + std::to_string(bytes) + " bytes) and the entry point " +
         hex(release->entry(), 8) + " are the same";
}

// One routine's epilogue is the run of `addl $N, %esp` and `popl %reg` lines right before its
// `retl`; with the CFA at ESP + offset before it, each of them lowers the offset by what it
// takes off the stack. Where the offset does not come out at 4 at the RET (a frame pointer, an
// epilogue that shares its pops with another path), the routine is left as it was.
Expected<std::string> epilogue_cfi(const std::string& in) {
  std::ifstream file(in);
  if (!file) return Error{in + ": cannot be read"};
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  static const std::regex pop(R"(^\s*popl\s+%\w+\s*(#.*)?$)");
  static const std::regex add(R"(^\s*addl\s+\$(\d+),\s*%esp\s*(#.*)?$)");
  static const std::regex ret(R"(^\s*retl\b.*$)");
  static const std::regex skip(R"(^\s*(\.loc\b.*|#.*)?$)");
  static const std::regex def(R"(^\s*\.cfi_def_cfa_offset\s+(-?\d+).*$)");
  static const std::regex adjust(R"(^\s*\.cfi_adjust_cfa_offset\s+(-?\d+).*$)");
  static const std::regex source(R"re(^(\s*\.file\s+\d+\s+)"([^"]*)"\s+(".*)$)re");
  const std::string here = std::filesystem::current_path().string();
  std::vector<std::string> out;
  long offset = 4;
  bool tracked = true;  // the CFA is ESP + offset
  std::smatch m;
  for (std::string& line : lines) {
    if (std::regex_match(line, m, source) && m[2] == here) line = m.str(1) + m.str(3);
    if (line.find(".cfi_startproc") != std::string::npos) {
      offset = 4;
      tracked = true;
    } else if (line.find(".cfi_def_cfa_register") != std::string::npos ||
               line.find(".cfi_def_cfa ") != std::string::npos) {
      tracked = false;
    } else if (std::regex_match(line, m, def)) {
      offset = std::stol(m[1]);
    } else if (std::regex_match(line, m, adjust)) {
      offset += std::stol(m[1]);
    }
    if (!tracked || !std::regex_match(line, ret)) {
      out.push_back(line);
      continue;
    }
    // Back over the epilogue's instructions to its first.
    size_t first = out.size();
    long taken = 0;
    for (size_t i = out.size(); i-- > 0;) {
      if (std::regex_match(out[i], m, add)) {
        taken += std::stol(m[1]);
      } else if (std::regex_match(out[i], pop)) {
        taken += 4;
      } else if (!std::regex_match(out[i], skip)) {
        break;
      }
      first = i;
    }
    if (taken == 0 || offset != taken + 4) {
      out.push_back(line);
      continue;
    }
    std::vector<std::string> epilogue(out.begin() + static_cast<ptrdiff_t>(first), out.end());
    out.resize(first);
    out.push_back("\t.cfi_remember_state");
    long now = offset;
    for (const std::string& e : epilogue) {
      out.push_back(e);
      if (std::regex_match(e, m, add)) {
        now -= std::stol(m[1]);
      } else if (std::regex_match(e, pop)) {
        now -= 4;
      } else {
        continue;
      }
      out.push_back("\t.cfi_def_cfa_offset " + std::to_string(now));
    }
    out.push_back(line);
    out.push_back("\t.cfi_restore_state");
  }
  std::string text;
  for (const std::string& line : out) text += line + "\n";
  return text;
}

int run(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 3 && args[0] == "rename-sections") {
    std::map<std::string, std::string> names;
    for (size_t i = 3; i < args.size(); ++i) {
      const auto eq = args[i].find('=');
      if (eq == std::string::npos || args[i].size() - eq - 1 > 8) {
        std::fprintf(stderr, "debugimage: %s is not OLD=NEW with NEW at most 8 characters\n",
                     args[i].c_str());
        return 2;
      }
      names[args[i].substr(0, eq)] = args[i].substr(eq + 1);
    }
    if (auto r = rename_sections(args[1], args[2], names); !r) {
      std::fprintf(stderr, "debugimage: %s\n", r.error().message.c_str());
      return 1;
    }
    return 0;
  }
  if (args.size() == 3 && args[0] == "epilogue-cfi") {
    auto text = epilogue_cfi(args[1]);
    std::ofstream out(args[2], std::ios::binary);
    if (!text || !(out << *text) || !out.flush()) {
      std::fprintf(stderr, "debugimage: %s\n",
                   text ? (args[2] + ": cannot be written").c_str() : text.error().message.c_str());
      return 1;
    }
    return 0;
  }
  if (args.size() == 3 && args[0] == "compare") {
    auto r = compare(args[1], args[2]);
    if (!r) {
      std::fprintf(stderr, "debugimage: %s: %s\n", args[2].c_str(), r.error().message.c_str());
      return 1;
    }
    std::printf("%s\n", r->c_str());
    return 0;
  }
  std::fprintf(stderr,
               "usage: debugimage rename-sections IN.obj OUT.obj OLD=NEW...\n"
               "       debugimage epilogue-cfi IN.s OUT.s\n"
               "       debugimage compare RELEASE.elf DEBUG.elf\n");
  return 2;
}

}  // namespace
}  // namespace peiboard

int main(int argc, char** argv) { return peiboard::run(argc, argv); }
