// The scenario keys of hostile platforms: read with file, line and key like every other key,
// and carried out by the board exactly as written, so a finding file means what it says.
#include "board_fixture.h"
#include "bytes.h"

namespace peiboard::testing {
namespace {

TEST(HostileKeys, AreReadIntoTheScenario) {
  const auto s = parse_scenario(R"(
[hob]
end = false
[[hob.guid]]
name = "1e2acc41-e26a-483d-afc7-a056c34e087b"
data = [1, 2, 3]
type = 0xFFFF
length = 0
[pcd.mcfg]
pointer = 0xFFFFFFFC
[foundation]
hob_list = 0x00000FFC
pool = 0x00400000
locate = [
  { guid = "36232936-0E76-31C8-A13A-3AF2FC1C3932", status = 0x8000000E },
  { guid = "D14319E2-407A-9580-8DE5-51A8FFC6D7D7", interface = 4, descriptor = 8 },
]
)",
                                "hostile.toml");
  ASSERT_TRUE(s) << s.error().to_string();
  EXPECT_FALSE(s->hob_list.end);
  ASSERT_EQ(s->guid_hobs.size(), 1u);
  EXPECT_EQ(s->guid_hobs[0].type, 0xFFFF);
  EXPECT_EQ(s->guid_hobs[0].length, 0);
  EXPECT_EQ(s->pcd.mcfg.pointer, 0xFFFFFFFCu);
  EXPECT_EQ(s->foundation.hob_list, 0xFFCu);
  EXPECT_EQ(s->foundation.pool, 0x00400000u);
  ASSERT_EQ(s->foundation.locate.size(), 2u);
  EXPECT_EQ(s->foundation.locate[0].guid, guids::kDebugServices);
  EXPECT_EQ(s->foundation.locate[0].status, 0x8000000Eu);
  EXPECT_FALSE(s->foundation.locate[0].interface);
  EXPECT_EQ(s->foundation.locate[1].interface, 4u);
  EXPECT_EQ(s->foundation.locate[1].descriptor, 8u);
  // The default board has none of them.
  const Scenario d = default_scenario();
  EXPECT_TRUE(d.hob_list.end);
  EXPECT_FALSE(d.pcd.mcfg.pointer);
  EXPECT_TRUE(d.foundation == FoundationConfig{});
}

TEST(HostileKeys, BadValuesNameTheirFileLineAndKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"[foundation]\npool = -1\n", "x.toml:2: key 'foundation.pool'"},
      {"[foundation]\nhob_list = \"0\"\n",
       "x.toml:2: key 'foundation.hob_list': expected an integer"},
      {"[foundation]\nlocate = [\n  { status = 0 },\n]\n",
       "x.toml:3: key 'foundation.locate[0].guid': missing"},
      {"[foundation]\nlocate = [{ guid = \"nope\" }]\n",
       "x.toml:2: key 'foundation.locate[0].guid'"},
      {"[foundation]\nlocate = [{ guid = \"36232936-0E76-31C8-A13A-3AF2FC1C3932\", stat = 1 }]\n",
       "key 'foundation.locate[0].stat': unknown key"},
      {"[hob]\nend = 1\n", "x.toml:2: key 'hob.end': expected a boolean"},
      {"[[hob.guid]]\nname = \"1E2ACC41-E26A-483D-AFC7-A056C34E087B\"\ntype = 0x10000\n",
       "x.toml:3: key 'hob.guid[0].type': expected an integer from 0 to 65535"},
      {"[[hob.guid]]\nname = \"1E2ACC41-E26A-483D-AFC7-A056C34E087B\"\nlength = -8\n",
       "x.toml:3: key 'hob.guid[0].length'"},
      {"[pcd.mcfg]\npointer = 0x100000000\n", "x.toml:2: key 'pcd.mcfg.pointer'"},
  };
  for (const auto& [text, error] : cases) {
    const auto s = parse_scenario(text, "x.toml");
    ASSERT_FALSE(s) << text;
    EXPECT_NE(s.error().to_string().find(error), std::string::npos)
        << s.error().to_string() << "\nfor:\n"
        << text;
  }
  std::string many = "[foundation]\nlocate = [\n";
  for (int i = 0; i < 65; ++i) many += "{ guid = \"36232936-0E76-31C8-A13A-3AF2FC1C3932\" },\n";
  const auto s = parse_scenario(many + "]\n", "x.toml");
  ASSERT_FALSE(s);
  EXPECT_NE(s.error().to_string().find("x.toml:67: key 'foundation.locate': expected at most 64"),
            std::string::npos)
      << s.error().to_string();
}

class HostileBoardTest : public BoardTest {};

TEST_F(HostileBoardTest, GuidHobHeadersAndTheEndAreWrittenAsGiven) {
  scenario.platform_info.present = false;
  scenario.guid_hobs = {{guids::kMeFwHob, std::vector<uint8_t>(16, 0xAB), 0x0007, 3},
                        {guids::kSpi, std::vector<uint8_t>(8, 0xCD), std::nullopt, std::nullopt}};
  scenario.hob_list.end = false;
  const uint32_t list = board().foundation().hob_list();
  const uint32_t first = list + 56;  // after the handoff table
  EXPECT_EQ(mem().read16(first), 0x0007);
  EXPECT_EQ(mem().read16(first + 2), 3) << "the length as written, not 24 + 16";
  EXPECT_EQ(mem().read8(first + 24), 0xAB);
  const uint32_t second = first + 24 + 16;
  EXPECT_EQ(mem().read16(second), 0x0004);
  EXPECT_EQ(mem().read16(second + 2), 24 + 8);
  EXPECT_EQ(mem().read32(second + 32), 0u) << "no end-of-list HOB after the last one";
  EXPECT_EQ(mem().read32(second + 36), 0u);

  scenario.hob_list.end = true;
  make_board();
  EXPECT_EQ(mem().read16(board().foundation().hob_list() + 56 + 40 + 32), 0xFFFF);
}

TEST_F(HostileBoardTest, ServicesAnswerWithTheGivenPointersAndStatuses) {
  scenario.foundation.hob_list = 0x00012340;
  scenario.foundation.pool = ram::kPolicy + 0x100;
  scenario.foundation.locate = {{guids::kDebugServices, 0x8000000E, 0x1234, std::nullopt},
                                {guids::kPcd, 0, 0x00005678, 0x00009ABC},
                                {guids::kPcd, 0, 0x1111, std::nullopt}};
  scenario.pcd.mcfg.pointer = 0xFFFFFFFC;
  EXPECT_EQ(call("GetHobList"), 0x00012340u);
  // A status that says not found: the module sees no debug PPI, whatever the interface.
  EXPECT_EQ(call("LocateDebugServicesPpi"), 0u);
  EXPECT_EQ(call("GetPcdPpi"), 0x5678u) << "the first answer for a GUID wins";
  // The descriptor output is written only when the caller asks for it.
  const uint32_t guid = board().scratch_bytes(guids::kPcd, 4);
  const uint32_t out = board().scratch(8);
  mem().write32(out, 0xEEEEEEEE);
  const uint32_t services = board().foundation().services_pointer();
  const uint32_t locate = mem().read32(board().foundation().services_table() + 24 + 4 * 2);
  const CallResult r = board().call_address(locate, {services, guid, 0, out, out + 4});
  ASSERT_TRUE(r.returned());
  EXPECT_EQ(r.eax, 0u);
  EXPECT_EQ(mem().read32(out), 0x9ABCu);
  EXPECT_EQ(mem().read32(out + 4), 0x5678u);
  // Every allocation hands out the same buffer, and the copy lands there.
  const uint32_t source = board().scratch_bytes(std::vector<uint8_t>{1, 2, 3, 4}, 4);
  EXPECT_EQ(call("AllocateCopyPool", {4, source}), ram::kPolicy + 0x100);
  EXPECT_EQ(call("AllocateCopyPool", {4, source}), ram::kPolicy + 0x100);
  EXPECT_EQ(mem().read32(ram::kPolicy + 0x100), 0x04030201u);
  EXPECT_EQ(board().foundation().pool_used(), 0u);
}

TEST_F(HostileBoardTest, ThePcdPointerGetAnswersTheGivenAddress) {
  scenario.pcd.mcfg.pointer = 0x00000010;
  make_board();
  EXPECT_EQ(call("PcdGetPtr", {7}), 0x10u);
  EXPECT_EQ(call("PcdGetPtr", {8}), 0u) << "other tokens as before";
  // With a table of length 0 the module would take the built-in one; here it reads page 0.
  const CallResult r = board().call("GetPciCfgBase", {0, 31, 0});
  EXPECT_EQ(r.stop.kind, StopKind::kFault);
  EXPECT_EQ(r.stop.fault.kind, FaultKind::kReadUnmapped);
  scenario.pcd.mcfg.present = false;
  scenario.pcd.mcfg.pointer.reset();
  make_board();
  EXPECT_EQ(call("PcdGetPtr", {7}), 0u) << "no table and no pointer: null";
}

}  // namespace
}  // namespace peiboard::testing
