#include "image_command.h"

#include <cstdio>

#include "format.h"

namespace peiboard {
namespace {

bool is_code(const PeImage& image, uint32_t address) {
  for (const auto& s : image.sections()) {
    const uint64_t start = uint64_t{image.image_base()} + s.virtual_address;
    if (address >= start && address < start + std::max(s.virtual_size, s.raw_size)) {
      return (s.characteristics & 0x20) != 0 || (s.characteristics & 0x20000000) != 0;
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

}  // namespace

std::string image_text(const ImageView& view) {
  const InspectNode& root = view.inspection.root;
  std::string out = label("image", 12) + view.path + "\n";
  out += label("form", 12) + view.inspection.form + "\n";
  const size_t problems = problem_count(root);
  out += label("verdict", 12) +
         (problems == 0 ? std::string("intact")
                        : "broken: " + std::to_string(problems) +
                              (problems == 1 ? " problem" : " problems") + " (marked !!)") +
         "\n\n";
  out += "offset      size        part\n";
  node_text(out, root, 0);
  out += "\n";
  if (!view.image) {
    out += label("names", 12) + "none: no readable image\n";
    return out;
  }
  if (view.image->symbols().empty()) {
    out += label("names", 12) + "none: " + view.names_hint + "\n";
    return out;
  }
  out += label("names", 12) + "from the " + view.names_from + "\n";
  const auto [routines, data] = split_names(*view.image);
  out += label("routines", 12) + std::to_string(routines.size()) + "\n";
  for (const auto& s : routines) out += "  " + hex(s.address, 8) + "  " + s.name + "\n";
  out += label("data", 12) + std::to_string(data.size()) + "\n";
  for (const auto& s : data) out += "  " + hex(s.address, 8) + "  " + s.name + "\n";
  return out;
}

nlohmann::ordered_json image_json(const ImageView& view) {
  nlohmann::ordered_json j;
  j["image"] = valid_utf8(view.path);
  j["form"] = view.inspection.form;
  j["broken"] = view.inspection.root.broken();
  j["tree"] = node_json(view.inspection.root);
  const bool named = view.image && !view.image->symbols().empty();
  const auto [routines, data] =
      named ? split_names(*view.image) : std::pair<std::vector<Symbol>, std::vector<Symbol>>{};
  j["names"] = {{"from", named ? nlohmann::ordered_json(valid_utf8(view.names_from)) : nullptr},
                {"routines", names_json(routines)},
                {"data", names_json(data)}};
  return j;
}

}  // namespace peiboard
