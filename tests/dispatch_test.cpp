// The PEI foundation's dispatch: notify kinds and when each runs, notify lists read whole or
// refused whole, the dispatch order of the System Board PPI, and the dependency expression.
// The foundation's rules run on small guest routines of the test (traps); the order and the
// expression on the real module.
#include <array>

#include "board_fixture.h"
#include "bytes.h"
#include "format.h"
#include "platform.h"

namespace peiboard::testing {
namespace {

constexpr Guid kA = guid_constant("11111111-2222-3333-4444-555555555555");
constexpr Guid kB = guid_constant("66666666-7777-8888-9999-AAAAAAAAAAAA");
constexpr uint32_t kCallback = efi::kPpiFlagNotifyCallback;
constexpr uint32_t kDispatch = efi::kPpiFlagNotifyDispatch;
constexpr uint32_t kPpi = efi::kPpiFlagPpi;
constexpr uint32_t kEnd = efi::kPpiFlagTerminate;

class FoundationTest : public BoardTest {
 protected:
  enum Service : uint32_t { kInstallPpi = 0, kReInstallPpi = 1, kNotifyPpi = 3 };

  // The service's routine, as the guest finds it in the services table.
  uint32_t service_at(Service s) {
    return mem().read32(board().foundation().services_table() + 24 + 4 * s);
  }
  // Calls a PEI service as a module does; gives its status.
  uint32_t service(Service s, std::vector<uint32_t> args) {
    args.insert(args.begin(), board().foundation().services_pointer());
    const CallResult r = board().call_address(service_at(s), args);
    EXPECT_TRUE(r.returned()) << r.stop.fault.kind;
    return r.eax;
  }
  uint32_t guid(const Guid& g) { return board().scratch_bytes(g, 4); }
  // A descriptor list: flags, GUID, then the notify routine or the PPI's interface.
  uint32_t list(const std::vector<std::array<uint32_t, 3>>& entries) {
    std::vector<uint32_t> words;
    for (const auto& e : entries) words.insert(words.end(), e.begin(), e.end());
    return board().scratch_bytes(le_words(words), 4);
  }
  // A notify routine of the test: it notes its name, the interface it was handed and how many
  // guest calls deep it ran (1: by the dispatcher; more: inside a service call).
  uint32_t routine(const std::string& name, uint32_t status = 0) {
    return mem().add_trap(name, [this, name, status](TrapFrame& f) {
      journal.push_back(name + " " + hex(f.arg(2)) + " @" + std::to_string(mem().depth()));
      f.set_result(status);
    });
  }
  std::vector<NotifyTrigger> triggers() {
    std::vector<NotifyTrigger> out;
    for (const auto& r : board().foundation().notify_runs()) out.push_back(r.trigger);
    return out;
  }

  std::vector<std::string> journal;
};

TEST_F(FoundationTest, CallbackNotifiesRunAtInstallReinstallAndRegistration) {
  const uint32_t a = guid(kA), b = guid(kB);
  ASSERT_EQ(service(kNotifyPpi, {list({{kCallback | kEnd, a, routine("first")}})}), 0u);
  EXPECT_TRUE(journal.empty()) << "nothing of A is installed yet";
  const uint32_t old_ppi = list({{kPpi | kEnd, a, 0xA1}});
  ASSERT_EQ(service(kInstallPpi, {old_ppi}), 0u);
  ASSERT_EQ(service(kInstallPpi, {list({{kPpi | kEnd, b, 0xB1}})}), 0u);
  ASSERT_EQ(service(kReInstallPpi, {old_ppi, list({{kPpi | kEnd, a, 0xA2}})}), 0u);
  // Registered while A is installed: it runs at once, inside NotifyPpi, for the PPI as it is.
  ASSERT_EQ(service(kNotifyPpi, {list({{kCallback | kEnd, a, routine("second", 7)}})}), 0u);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"first 0xA1 @2", "first 0xA2 @2", "second 0xA2 @2"}));
  EXPECT_EQ(triggers(),
            (std::vector<NotifyTrigger>{NotifyTrigger::kInstallPpi, NotifyTrigger::kReInstallPpi,
                                        NotifyTrigger::kNotifyPpi}));
  EXPECT_EQ(board().foundation().notify_statuses(), (std::vector<uint32_t>{0, 0, 7}));
}

TEST_F(FoundationTest, DispatchNotifiesWaitForTheInstallingModuleToReturn) {
  const uint32_t a = guid(kA);
  ASSERT_EQ(service(kNotifyPpi, {list({{kDispatch, a, routine("dispatch")},
                                       {kCallback | kEnd, a, routine("callback")}})}),
            0u);
  const uint32_t ppi = list({{kPpi | kEnd, a, 0xA1}});
  const uint32_t module = mem().add_trap("module", [&](TrapFrame& f) {
    journal.push_back("module installs");
    board().call_address(service_at(kInstallPpi), {board().foundation().services_pointer(), ppi});
    journal.push_back("module returns");
    f.set_result(0);
  });
  ASSERT_TRUE(board().call_address(module, {}).returned());
  EXPECT_EQ(journal,
            (std::vector<std::string>{"module installs", "callback 0xA1 @3", "module returns"}));
  ASSERT_TRUE(board().foundation().return_to_dispatcher());
  EXPECT_EQ(journal.back(), "dispatch 0xA1 @1");
  EXPECT_EQ(triggers(),
            (std::vector<NotifyTrigger>{NotifyTrigger::kInstallPpi, NotifyTrigger::kDispatch}));
  // Each runs once: the dispatcher's queue is empty now.
  ASSERT_TRUE(board().foundation().return_to_dispatcher());
  EXPECT_EQ(journal.size(), 4u);
}

TEST_F(FoundationTest, TheBootRunsDispatchNotifiesWhenEachModuleReturns) {
  // Pending before the boot: a dispatch notify registered while the PCD PPI is installed.
  // The first module to return to the dispatcher is the module itself, or the board's module
  // when that one comes first.
  for (const auto order : {SystemBoardOrder::kAfterEntry, SystemBoardOrder::kBeforeEntry}) {
    SCOPED_TRACE(order_name(order));
    scenario.foundation.system_board_ppi = order;
    make_board();
    journal.clear();
    const uint32_t r = mem().add_trap("pending", [this](TrapFrame& f) {
      journal.push_back(phase_name(board().log().phase) + std::string(" @") +
                        std::to_string(mem().depth()));
      f.set_result(0);
    });
    ASSERT_EQ(service(kNotifyPpi, {list({{kDispatch | kEnd, guid(guids::kPcd), r}})}), 0u);
    EXPECT_TRUE(journal.empty());
    ASSERT_FALSE(board().boot().fault);
    EXPECT_EQ(journal, std::vector<std::string>{
                           order == SystemBoardOrder::kAfterEntry ? "dispatch @1" : "install @1"});
  }
}

TEST_F(FoundationTest, AMixedListIsReadWhole) {
  const uint32_t a = guid(kA), b = guid(kB);
  ASSERT_EQ(service(kInstallPpi, {list({{kPpi | kEnd, b, 0xB1}})}), 0u);
  // Three entries, both kinds: B is installed already, A is not.
  ASSERT_EQ(service(kNotifyPpi, {list({{kCallback, a, routine("on A")},
                                       {kDispatch, b, routine("dispatch on B")},
                                       {kCallback | kEnd, b, routine("on B")}})}),
            0u);
  EXPECT_EQ(journal, std::vector<std::string>{"on B 0xB1 @2"});
  ASSERT_EQ(service(kInstallPpi, {list({{kPpi | kEnd, a, 0xA1}})}), 0u);
  ASSERT_TRUE(board().foundation().return_to_dispatcher());
  EXPECT_EQ(journal,
            (std::vector<std::string>{"on B 0xB1 @2", "on A 0xA1 @2", "dispatch on B 0xB1 @1"}));
}

TEST_F(FoundationTest, AMalformedListIsRefusedAndNothingOfItRegistered) {
  const uint32_t a = guid(kA);
  const uint32_t r = routine("registered");
  std::vector<std::array<uint32_t, 3>> unterminated(PeiFoundation::kMaxDescriptors + 1,
                                                    {kCallback, a, r});
  const struct {
    const char* what;
    uint32_t list;
  } cases[] = {
      {"an entry with the PPI flag and no notify kind",
       list({{kCallback, a, r}, {kPpi | kEnd, a, r}})},
      {"an entry with only the terminator", list({{kCallback, a, r}, {kEnd, a, r}})},
      {"no terminator within the bound", list(unterminated)},
      {"no list", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(service(kNotifyPpi, {c.list}), efi::kInvalidParameter);
  }
  ASSERT_EQ(service(kInstallPpi, {list({{kPpi | kEnd, a, 0xA1}})}), 0u);
  ASSERT_TRUE(board().foundation().return_to_dispatcher());
  EXPECT_TRUE(journal.empty()) << "no entry of a refused list was registered";
  // An install list is refused whole the same way: no PPI flag, nothing installed.
  const uint32_t b = guid(kB);
  EXPECT_EQ(service(kInstallPpi, {list({{kPpi, b, 0xB1}, {kCallback | kEnd, b, 0xB2}})}),
            efi::kInvalidParameter);
  EXPECT_FALSE(board().foundation().locate(kB));
}

class DispatchOrderTest : public BoardTest {};

TEST_F(DispatchOrderTest, TheBoardPpiFirstNestsTheCallbackInTheEntrysNotifyPpi) {
  const RunResult after = board().boot();
  const PolicyConfig applied = after.policy;
  ASSERT_FALSE(after.fault);

  scenario.foundation.system_board_ppi = SystemBoardOrder::kBeforeEntry;
  make_board();
  const RunResult r = board().boot();
  ASSERT_FALSE(r.fault) << r.fault->text();
  EXPECT_EQ(r.entry_status, 0u);
  EXPECT_EQ(r.notify_statuses, (std::vector<uint32_t>{0, 0}));
  const auto& runs = board().foundation().notify_runs();
  ASSERT_EQ(runs.size(), 2u);
  const uint32_t callback = board().symbol("SystemBoardPpiNotifyCallback");
  const std::pair<NotifyTrigger, unsigned> expected[] = {{NotifyTrigger::kNotifyPpi, 1},
                                                         {NotifyTrigger::kReInstallPpi, 2}};
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(runs[i].trigger, expected[i].first);
    EXPECT_EQ(runs[i].depth, expected[i].second);
    EXPECT_EQ(runs[i].routine, callback);
    EXPECT_EQ(phase_label(runs[i].phase, runs[i].notify_nesting), "dispatch/notify");
  }
  // The re-install's line is the entry point's only output, and comes from inside its
  // NotifyPpi.
  std::vector<std::string> dispatch_events;
  for (const auto& e : board().log().events) {
    if (e.phase == Phase::kDispatch) {
      dispatch_events.push_back(phase_label(e.phase, e.notify_nesting) + " " + e.text);
    }
  }
  EXPECT_EQ(dispatch_events,
            std::vector<std::string>{"dispatch/notify Reinstall Descriptor Status = 0.\n"});
  // NotifyPpi itself is the entry point's call; the callback's calls follow it, nested.
  std::vector<std::string> calls;
  for (const auto& t : board().log().trace) {
    if (t.kind == TraceRecord::Kind::kService) {
      calls.push_back(phase_label(t.phase, t.notify_nesting) + " " + t.what.substr(0, 12));
    }
  }
  const auto notify = std::find(calls.begin(), calls.end(), "dispatch NotifyPpi");
  ASSERT_NE(notify, calls.end());
  EXPECT_EQ(*std::next(notify), "dispatch/notify LocatePpi (C");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "dispatch/notify ReInstallPpi"), 1);
  // Slot 15 of the re-installed copy is the module's, and it applies the same tables.
  const auto located = board().foundation().locate(guids::kSystemBoard);
  ASSERT_TRUE(located);
  EXPECT_EQ(mem().read32(located->second + 60), board().symbol("ApplyBoardPtssTables"));
  EXPECT_TRUE(r.slot15_called);
  EXPECT_TRUE(r.policy == applied);
  EXPECT_NE(r.policy, r.policy_before);
}

TEST_F(DispatchOrderTest, TheBoardPpiAfterTheEntryRunsTheCallbackInTheInstallStep) {
  const RunResult r = board().boot();
  ASSERT_FALSE(r.fault);
  const auto& runs = board().foundation().notify_runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].trigger, NotifyTrigger::kInstallPpi);
  EXPECT_EQ(runs[1].trigger, NotifyTrigger::kReInstallPpi);
  for (const auto& run : runs) EXPECT_EQ(phase_label(run.phase, run.notify_nesting), "install");
}

class DependencyTest : public BoardTest {};

TEST_F(DependencyTest, TheExpressionOverThePpisInstalledBeforeDispatchDecides) {
  const DepexOp pcd{0x02, guids::kPcd}, board_ppi{0x02, guids::kSystemBoard}, other{0x02, kA},
      op_not{0x05, {}}, end{0x08, {}};
  const std::vector<DepexOp> module_depex{pcd, end};
  const struct {
    const char* what;
    std::vector<DepexOp> depex;
    bool pcd_present, board_first, other_installed, dispatched;
    std::vector<Guid> missing;
  } cases[] = {
      {"the module's expression", module_depex, true, false, false, true, {}},
      {"the module's expression without the PCD PPI",
       module_depex,
       false,
       false,
       false,
       false,
       {guids::kPcd}},
      {"the same with the board's PPI first",
       module_depex,
       false,
       true,
       false,
       false,
       {guids::kPcd}},
      {"the board's PPI, installed after the entry",
       {board_ppi, end},
       true,
       false,
       false,
       false,
       {guids::kSystemBoard}},
      {"the board's PPI, installed before it", {board_ppi, end}, true, true, false, true, {}},
      {"another PPI the scenario installs", {other, end}, true, false, true, true, {}},
      {"another PPI it does not", {other, end}, true, false, false, false, {kA}},
      {"NOT over an installed PPI", {pcd, op_not, end}, true, false, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scenario = default_scenario();
    scenario.pcd.ppi_present = c.pcd_present;
    if (c.board_first) scenario.foundation.system_board_ppi = SystemBoardOrder::kBeforeEntry;
    if (c.other_installed) scenario.foundation.other_ppis = {kA};
    make_board({.depex = c.depex});
    const RunResult r = board().boot();
    EXPECT_FALSE(r.fault);
    EXPECT_EQ(!r.not_dispatched, c.dispatched);
    if (r.not_dispatched) {
      EXPECT_EQ(r.not_dispatched->expression, c.depex);
      EXPECT_EQ(r.not_dispatched->missing, c.missing);
      EXPECT_FALSE(r.entry_status);
      EXPECT_EQ(r.instructions, 0u) << "nothing of the module ran";
      EXPECT_FALSE(r.slot15_called);
    } else {
      EXPECT_EQ(r.entry_status, 0u);
      EXPECT_TRUE(r.slot15_called);
    }
  }
}

TEST_F(DependencyTest, WithoutAnExpressionTheModuleRunsEvenWithoutThePcdPpi) {
  scenario.pcd.ppi_present = false;
  const RunResult r = board().boot();
  EXPECT_FALSE(r.not_dispatched);
  EXPECT_EQ(r.entry_status, 0u);
  ASSERT_FALSE(assert_lines().empty());
  EXPECT_EQ(asserts()[0], "BasePkg/Library/PeiPcdLib/PeiPcdLib:49:!EFI_ERROR (Status)");
}

}  // namespace
}  // namespace peiboard::testing
