#include "module.h"

#include "format.h"

namespace peiboard {

std::shared_ptr<const Module> Module::create(PeImage image, std::optional<SourceMap> debug) {
  return std::shared_ptr<const Module>(new Module(std::move(image), std::move(debug)));
}

Module::Module(PeImage image, std::optional<SourceMap> debug)
    : image_(std::move(image)), debug_(std::move(debug)) {
  // The debug file and the image share their entry point's place in the code.
  if (debug_) shift_ = image_.entry_point() - debug_->entry_point();
}

std::optional<std::string> Module::symbol_at(uint32_t address) const {
  return image_.symbol_at(address);
}

std::vector<SourceLocation> Module::inline_chain(uint32_t address) const {
  if (!debug_) return {};
  return debug_->inline_chain(coverage_key(address));
}

std::optional<std::string> Module::where(uint32_t address) const {
  const auto chain = inline_chain(address);
  if (chain.empty()) return std::nullopt;
  std::string text;
  for (const SourceLocation& level : chain) {
    if (!text.empty()) text += " inlined in ";
    text += level.routine;
    if (!level.inlined && level.offset != 0) text += "+" + hex(level.offset);
    if (level.file) text += " (" + *level.file + ":" + std::to_string(level.line) + ")";
  }
  return text;
}

std::optional<std::string> Module::source_line(uint32_t address) const {
  if (!debug_) return std::nullopt;
  const AddressInfo info = debug_->lookup(coverage_key(address));
  if (!info.file) return std::nullopt;
  return *info.file + ":" + std::to_string(info.line);
}

Expected<void> debug_file_describes(const SourceMap& map, const PeImage& image) {
  const std::string refused = "the debug file does not describe the image (its code differs): ";
  PeImage linked = image;
  const uint32_t base = image.image_base() - (image.entry_point() - map.entry_point());
  if (base != image.image_base()) {
    if (auto moved = linked.rebase(base); !moved) {
      return Error{refused + "its entry point " + hex(map.entry_point(), 8) +
                   " puts the image at " + hex(base, 8) + ": " + moved.error().message};
    }
  }
  if (auto same = map.describes(linked.image_base(), linked.memory_layout()); !same) {
    return Error{refused + same.error().message};
  }
  return {};
}

Expected<SourceMap> load_debug_file(const std::filesystem::path& path, const PeImage& image) {
  auto map = SourceMap::load(path);
  if (!map) return map.error();
  if (auto same = debug_file_describes(*map, image); !same) {
    return Error{path.string() + ": " + same.error().message};
  }
  return map;
}

}  // namespace peiboard
