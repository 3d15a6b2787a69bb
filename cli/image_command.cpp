#include "image_command.h"

#include <cstdio>
#include <optional>

#include "format.h"

namespace peiboard {
namespace {

bool is_code(const PeImage& image, uint32_t address) {
  for (const auto& s : image.sections()) {
    const uint64_t start = uint64_t{image.image_base()} + s.virtual_address;
    if (address >= start && address < start + std::max(s.virtual_size, s.raw_size)) {
      return (s.characteristics & (scn::kCode | scn::kExecute)) != 0;
    }
  }
  return false;
}

// The names of routines (in code sections) and of data (everywhere else).
std::pair<std::vector<Symbol>, std::vector<Symbol>> split_names(const PeImage& image) {
  std::pair<std::vector<Symbol>, std::vector<Symbol>> split;
  for (const auto& s : image.symbols()) {
    (is_code(image, s.address) ? split.first : split.second).push_back(s);
  }
  return split;
}

std::string label(const std::string& text, size_t width) {
  std::string out = text;
  out.resize(std::max(width, text.size() + 1), ' ');
  return out;
}

void node_text(std::string& out, const InspectNode& node, size_t depth) {
  char head[40];
  std::snprintf(head, sizeof head, "0x%08llX  0x%08llX  ",
                static_cast<unsigned long long>(node.offset),
                static_cast<unsigned long long>(node.size));
  const std::string indent(2 * depth, ' ');
  out += head + indent + node.kind + " " + node.title + (node.problems.empty() ? "" : "  BROKEN") +
         "\n";
  const std::string pad = std::string(24, ' ') + indent + "  ";
  for (const auto& [key, value] : node.fields) out += pad + label(key, 16) + value + "\n";
  for (const auto& p : node.problems) {
    out += pad + "!! " + p.what + ": holds " + p.holds;
    if (!p.should.empty()) out += ", should hold " + p.should;
    out += "\n";
  }
  for (const auto& child : node.children) node_text(out, child, depth + 1);
}

size_t problem_count(const InspectNode& node) {
  size_t n = node.problems.size();
  for (const auto& c : node.children) n += problem_count(c);
  return n;
}

nlohmann::ordered_json node_json(const InspectNode& node) {
  nlohmann::ordered_json j;
  j["kind"] = node.kind;
  j["title"] = valid_utf8(node.title);
  j["offset"] = node.offset;
  j["size"] = node.size;
  auto& fields = j["fields"] = nlohmann::ordered_json::object();
  for (const auto& [key, value] : node.fields) fields[key] = valid_utf8(value);
  auto& problems = j["problems"] = nlohmann::ordered_json::array();
  for (const auto& p : node.problems) {
    problems.push_back({{"what", valid_utf8(p.what)},
                        {"holds", valid_utf8(p.holds)},
                        {"should", valid_utf8(p.should)}});
  }
  auto& children = j["children"] = nlohmann::ordered_json::array();
  for (const auto& c : node.children) children.push_back(node_json(c));
  return j;
}

nlohmann::ordered_json names_json(const std::vector<Symbol>& symbols) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& s : symbols)
    list.push_back({{"name", valid_utf8(s.name)}, {"address", s.address}});
  return list;
}

// Where the module's image lies and runs.
struct ModuleFacts {
  uint64_t offset = 0, size = 0;
  uint32_t base = 0, entry = 0;
  std::optional<uint32_t> placed;  // for an image inside a volume or file
};

std::optional<ModuleFacts> module_facts(const ImageView& view) {
  if (!view.image || !view.inspection.image) return std::nullopt;
  ModuleFacts f;
  f.offset = view.inspection.image->first;
  f.size = view.inspection.image->second;
  f.base = view.image->image_base();
  f.entry = view.image->entry_point();
  // The image executes in place where its first byte lies: the input starts that far before.
  const int64_t placed = int64_t{f.base} + view.image->file_rva() - static_cast<int64_t>(f.offset);
  if (f.offset != 0 && placed >= 0 && placed <= 0xFFFFFFFF) {
    f.placed = static_cast<uint32_t>(placed);
  }
  return f;
}

}  // namespace

std::string image_text(const ImageView& view) {
  const InspectNode& root = view.inspection.root;
  std::string out = label("image", 11) + view.path + "\n";
  out += label("form", 11) + view.inspection.form + "\n";
  const size_t problems = problem_count(root);
  out += label("verdict", 11) +
         (problems == 0 ? std::string("intact")
                        : "broken: " + std::to_string(problems) +
                              (problems == 1 ? " problem" : " problems") + " (marked !!)") +
         "\n\n";
  out += "offset      size        part\n";
  node_text(out, root, 0);
  out += "\n";
  if (const auto module = module_facts(view)) {
    out += label("module", 11) + "the image at offset " + hex(module->offset, 8) + ", " +
           std::to_string(module->size) + " bytes\n";
    out += label("base", 11) + hex(module->base, 8) + "\n";
    out += label("entry", 11) + hex(module->entry, 8) + "\n";
    if (module->placed) {
      out += label("placed", 11) + "at " + hex(*module->placed, 8) +
             " (where the input's first byte lies when the image executes in place)\n";
    }
  }
  if (!view.image) {
    out += label("names", 11) + "none: no readable image\n";
    return out;
  }
  if (view.image->symbols().empty()) {
    out += label("names", 11) + "none: " + view.names_hint + "\n";
    return out;
  }
  out += label("names", 11) + "from the " + view.names_from + "\n";
  const auto [routines, data] = split_names(*view.image);
  out += label("routines", 11) + std::to_string(routines.size()) + "\n";
  for (const auto& s : routines) out += "  " + hex(s.address, 8) + "  " + s.name + "\n";
  out += label("data", 11) + std::to_string(data.size()) + "\n";
  for (const auto& s : data) out += "  " + hex(s.address, 8) + "  " + s.name + "\n";
  return out;
}

nlohmann::ordered_json image_json(const ImageView& view) {
  nlohmann::ordered_json j;
  j["image"] = valid_utf8(view.path);
  j["form"] = view.inspection.form;
  j["broken"] = view.inspection.root.broken();
  j["tree"] = node_json(view.inspection.root);
  if (const auto module = module_facts(view)) {
    j["module"] = {{"offset", module->offset},
                   {"size", module->size},
                   {"image_base", module->base},
                   {"entry", module->entry},
                   {"placed", module->placed ? nlohmann::ordered_json(*module->placed) : nullptr}};
  } else {
    j["module"] = nullptr;
  }
  const bool named = view.image && !view.image->symbols().empty();
  const auto [routines, data] =
      named ? split_names(*view.image) : std::pair<std::vector<Symbol>, std::vector<Symbol>>{};
  j["names"] = {{"from", named ? nlohmann::ordered_json(valid_utf8(view.names_from)) : nullptr},
                {"routines", names_json(routines)},
                {"data", names_json(data)}};
  return j;
}

}  // namespace peiboard
