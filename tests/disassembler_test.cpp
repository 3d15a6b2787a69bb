// IA32 decoding: text, lengths, exact instruction counts per block (checked against objdump over
// the whole released code) and the two ways out of conditional branches.
#include "disassembler.h"

#include <map>
#include <regex>
#include <sstream>

#include "debug_fixture.h"

namespace peiboard::testing {
namespace {

class DisassemblerTest : public ::testing::Test {
 protected:
  Disassembler dis_ = [] {
    auto d = Disassembler::create();
    if (!d) throw std::runtime_error(d.error().message);
    return std::move(d).value();
  }();
};

TEST_F(DisassemblerTest, TextInIntelSyntax) {
  const std::vector<uint8_t> code = {0x55,                                // push ebp
                                     0x89, 0xE5,                          // mov ebp, esp
                                     0x8B, 0x45, 0x08,                    // mov eax, [ebp + 8]
                                     0xC7, 0x00, 0x78, 0x56, 0x34, 0x12,  // mov [eax], 0x12345678
                                     0x5D, 0xC3};
  const auto all = dis_.disassemble(0xFFF00100, code, 100);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(all[0].text, "push ebp");
  EXPECT_EQ(all[1].text, "mov ebp, esp");
  EXPECT_EQ(all[2].text, "mov eax, dword ptr [ebp + 8]");
  EXPECT_EQ(all[3].text, "mov dword ptr [eax], 0x12345678");
  EXPECT_EQ(all[5].text, "ret");
  EXPECT_EQ(all[2].address, 0xFFF00103u);
  EXPECT_EQ(all[3].length, 6u);
  EXPECT_EQ(dis_.disassemble(0xFFF00100, code, 2).size(), 2u);
  // A cut-off instruction ends the listing before it.
  EXPECT_EQ(dis_.disassemble(0xFFF00100, std::span(code).first(5), 100).size(), 2u);
  EXPECT_TRUE(dis_.disassemble(0xFFF00100, {}, 5).empty());
}

TEST_F(DisassemblerTest, InstructionLength) {
  const std::vector<uint8_t> call = {0xE8, 0x10, 0x00, 0x00, 0x00};
  EXPECT_EQ(dis_.instruction_length(0x1000, call), 5u);
  EXPECT_FALSE(dis_.instruction_length(0x1000, std::span(call).first(4)));
  const std::vector<uint8_t> prefixed = {0x66, 0x89, 0x08};  // mov word ptr [eax], cx
  EXPECT_EQ(dis_.instruction_length(0x1000, prefixed), 3u);
  EXPECT_FALSE(dis_.instruction_length(0x1000, {}));
}

TEST_F(DisassemblerTest, BlockCountsEndOnInstructionBoundaries) {
  const std::vector<uint8_t> code = {0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x5D, 0xC3};
  auto shape = dis_.block_shape(0x2000, code);
  ASSERT_TRUE(shape);
  EXPECT_EQ(shape->instructions, 5u);
  EXPECT_EQ(shape->last, 0x2007u);
  EXPECT_EQ(*dis_.count_instructions(0x2000, std::span(code).first(6)), 3u);
  EXPECT_EQ(*dis_.count_instructions(0x2000, std::span(code).first(1)), 1u);
  // One byte short of, or into, an instruction is no block.
  EXPECT_FALSE(dis_.count_instructions(0x2000, std::span(code).first(5)));
  EXPECT_FALSE(dis_.count_instructions(0x2000, std::span(code).first(4)));
  EXPECT_FALSE(dis_.count_instructions(0x2000, {}));
  const std::vector<uint8_t> invalid = {0x90, 0xFF, 0xFF};  // FF /7 is no instruction
  EXPECT_FALSE(dis_.count_instructions(0x2000, invalid));
}

// Every routine of the released code, counted as one block, against objdump's listing.
TEST_F(DisassemblerTest, CountsEveryRoutineAsObjdumpDoes) {
  const SourceMap& map = module_source_map();
  const CodeSection& text = map.code().at(0);
  const std::string listing =
      command_output(std::string(OBJDUMP) + " -d -z --no-show-raw-insn " + PEIBOARD_IMAGE);
  std::vector<uint32_t> starts;
  const std::regex row(R"(^\s*([0-9a-f]+):\s)");
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row))
      starts.push_back(static_cast<uint32_t>(std::stoul(m[1], nullptr, 16)));
  }
  ASSERT_GT(starts.size(), 1000u);
  size_t routines = 0;
  for (const Routine& r : map.routines()) {
    const auto expected = std::count_if(starts.begin(), starts.end(), [&](uint32_t a) {
      return a >= r.address && a < r.address + r.size;
    });
    const auto bytes = std::span(text.bytes).subspan(r.address - text.address, r.size);
    const auto shape = dis_.block_shape(r.address, bytes);
    ASSERT_TRUE(shape) << r.name << ": " << shape.error().message;
    EXPECT_EQ(shape->instructions, static_cast<uint32_t>(expected)) << r.name;
    EXPECT_TRUE(std::binary_search(starts.begin(), starts.end(), shape->last)) << r.name;
    ++routines;
  }
  EXPECT_EQ(routines, map.routines().size());
}

TEST_F(DisassemblerTest, ConditionalBranchesAndTheirTwoSuccessors) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::optional<std::pair<uint32_t, uint32_t>> successors;  // taken, fall through
  };
  const std::vector<Case> cases = {
      {{0x74, 0x05}, {{0x1007, 0x1002}}},                          // je +5
      {{0x75, 0xFE}, {{0x1000, 0x1002}}},                          // jne to itself
      {{0x0F, 0x8C, 0x00, 0x01, 0x00, 0x00}, {{0x1106, 0x1006}}},  // jl rel32
      {{0xE3, 0x10}, {{0x1012, 0x1002}}},                          // jecxz
      {{0xE2, 0xF0}, {{0x0FF2, 0x1002}}},                          // loop
      {{0xEB, 0x05}, std::nullopt},                                // jmp
      {{0xE8, 0x00, 0x00, 0x00, 0x00}, std::nullopt},              // call
      {{0xFF, 0xE0}, std::nullopt},                                // jmp eax
      {{0xC3}, std::nullopt},                                      // ret
      {{0x0F, 0x84, 0x00}, std::nullopt},                          // cut off
  };
  for (const Case& c : cases) {
    const auto branch = dis_.conditional_branch(0x1000, c.bytes);
    ASSERT_EQ(branch.has_value(), c.successors.has_value()) << hex(c.bytes[0]);
    if (!branch) continue;
    EXPECT_EQ(branch->address, 0x1000u);
    EXPECT_EQ(branch->taken, c.successors->first) << hex(c.bytes[0]);
    EXPECT_EQ(branch->fall_through, c.successors->second) << hex(c.bytes[0]);
  }
}

TEST_F(DisassemblerTest, HowEachInstructionPassesControlOn) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::optional<FlowKind> kind;
    const char* what;
  };
  const std::vector<Case> cases = {
      {{0x74, 0x05}, FlowKind::kConditional, "je"},
      {{0xE2, 0xF0}, FlowKind::kConditional, "loop"},
      {{0xEB, 0x05}, FlowKind::kJump, "jmp rel8"},
      {{0xFF, 0xE0}, FlowKind::kJump, "jmp eax"},
      {{0xFF, 0x24, 0x85, 0x00, 0x10, 0x00, 0x00}, FlowKind::kJump, "jmp [eax*4 + 0x1000]"},
      {{0xE8, 0x00, 0x00, 0x00, 0x00}, FlowKind::kCall, "call rel32"},
      {{0xFF, 0x52, 0x30}, FlowKind::kCall, "call [edx + 0x30]"},
      {{0xC3}, FlowKind::kReturn, "ret"},
      {{0xC2, 0x08, 0x00}, FlowKind::kReturn, "ret 8"},
      {{0xCF}, FlowKind::kReturn, "iretd"},
      {{0xCC}, FlowKind::kInterrupt, "int3"},
      {{0xCD, 0x21}, FlowKind::kInterrupt, "int 0x21"},
      {{0x89, 0xE5}, FlowKind::kNone, "mov ebp, esp"},
      {{0x0F, 0x01, 0x08}, FlowKind::kNone, "sidt [eax]"},
      {{0xF3, 0xA4}, FlowKind::kNone, "rep movsb"},
      {{0xE8, 0x00, 0x00}, std::nullopt, "cut off"},
      {{}, std::nullopt, "nothing"},
  };
  for (const Case& c : cases) EXPECT_EQ(dis_.flow_kind(0x1000, c.bytes), c.kind) << c.what;
}

}  // namespace
}  // namespace peiboard::testing
