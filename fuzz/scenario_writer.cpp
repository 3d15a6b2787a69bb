#include "scenario_writer.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "format.h"
#include "guid.h"
#include "scenario_loader.h"

namespace peiboard::fuzz {
namespace {

// A value no scenario file can hold; thrown by the formatters, caught in write_scenario().
struct Unwritable {
  std::string key;
  std::string why;
};

std::string number(uint64_t value, const std::string& key) {
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    throw Unwritable{key, "the value " + hex(value) + " is above the largest TOML integer"};
  }
  char text[24];
  std::snprintf(text, sizeof text, value < 10 ? "%" PRIu64 : "0x%" PRIX64, value);
  return text;
}

std::string boolean(bool value) { return value ? "true" : "false"; }

// A TOML basic string: quotes, backslashes and control characters escaped; the rest is UTF-8.
std::string quoted(const std::string& text, const std::string& key) {
  if (valid_utf8(text) != text) throw Unwritable{key, "the text is not UTF-8"};
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

template <class List, class Format>
std::string list(const List& items, Format format) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + format(items[i], i);
  return out + "]";
}

template <class List>
std::string numbers(const List& items, const std::string& key) {
  return list(items, [&](auto v, size_t i) {
    return number(static_cast<uint64_t>(v), key + "[" + std::to_string(i) + "]");
  });
}

// Lane records, one per line.
template <class Records>
std::string records(const Records& items, size_t count, const std::string& key) {
  std::string out = "[\n";
  for (size_t i = 0; i < count; ++i) {
    out += "  " + numbers(items[i], key + "[" + std::to_string(i) + "]") + ",\n";
  }
  return out + "]";
}

// Writes tables lazily: a table's header goes out with its first key.
class Toml {
 public:
  void table(std::string name) {
    table_ = std::move(name);
    pending_ = true;
  }
  // A table header written even when no key follows ([[hob.guid]] entries).
  void array_table(const std::string& name) {
    out_ += "\n[[" + name + "]]\n";
    pending_ = false;
  }
  void key(const char* name, const std::string& value) {
    if (pending_) {
      out_ += "\n[" + table_ + "]\n";
      pending_ = false;
    }
    out_ += std::string(name) + " = " + value + "\n";
  }
  // Writes the key when the value differs from the default board's.
  template <class T, class Format>
  void differing(const char* name, const T& value, const T& base, Format format) {
    if (!(value == base)) key(name, format(value));
  }
  std::string text() && { return std::move(out_); }

 private:
  std::string out_;
  std::string table_;
  bool pending_ = false;
};

std::string entry_text(const PtssEntryConfig& e, const std::string& key) {
  std::string out;
  auto field = [&](const char* name, uint64_t value) {
    if (value == 0) return;
    out += (out.empty() ? "" : ", ") + std::string(name) + " = " + number(value, key + "." + name);
  };
  field("register_port", e.register_port);
  field("lane", e.lane);
  field("lane_mode", e.lane_mode);
  field("register_offset", e.register_offset);
  field("register_value", e.register_value);
  field("keep_mask", e.keep_mask);
  field("topology", e.topology);
  field("board_id", e.board_id);
  return "{ " + out + (out.empty() ? "}" : " }");
}

std::string answer_text(const LocateAnswer& a, const std::string& key) {
  std::string out = "{ guid = " + quoted(guid_text(a.guid), key) +
                    ", status = " + number(a.status, key + ".status");
  if (a.interface) out += ", interface = " + number(*a.interface, key + ".interface");
  if (a.descriptor) out += ", descriptor = " + number(*a.descriptor, key + ".descriptor");
  return out + " }";
}

// The leading records a [policy] list needs: up to the last one that is not zero.
template <class Records>
size_t leading(const Records& items) {
  size_t count = items.size();
  while (count > 0 && items[count - 1] == typename Records::value_type{}) --count;
  return count;
}

void write(Toml& t, const Scenario& s) {
  const Scenario d = default_scenario();
  const auto num = [](const std::string& key) {
    return [key](auto v) { return number(static_cast<uint64_t>(v), key); };
  };
  const auto nums = [](const std::string& key) {
    return [key](const auto& v) { return numbers(v, key); };
  };
  const auto flag = [](auto v) { return boolean(v); };

  t.key("name", quoted(s.name, "name"));

  t.table("pch");
  t.differing("lpc_device_id", s.pch.lpc_device_id, d.pch.lpc_device_id, num("pch.lpc_device_id"));
  t.differing("lpc_revision_id", s.pch.lpc_revision_id, d.pch.lpc_revision_id,
              num("pch.lpc_revision_id"));
  t.differing("ecam_base", s.pch.ecam_base, d.pch.ecam_base, num("pch.ecam_base"));
  t.differing("lane_owner", s.pch.lane_owner, d.pch.lane_owner, nums("pch.lane_owner"));
  t.differing("rp_function_map", s.pch.rp_function_map, d.pch.rp_function_map,
              nums("pch.rp_function_map"));
  t.differing("strap_fuse_cfg", s.pch.strap_fuse_cfg, d.pch.strap_fuse_cfg,
              nums("pch.strap_fuse_cfg"));

  t.table("pmc");
  t.differing("present", s.pmc.present, d.pmc.present, flag);
  t.differing("acpi_base", s.pmc.acpi_base, d.pmc.acpi_base, num("pmc.acpi_base"));
  t.differing("acpi_control", s.pmc.acpi_control, d.pmc.acpi_control, num("pmc.acpi_control"));
  t.differing("pwrm_base", s.pmc.pwrm_base, d.pmc.pwrm_base, num("pmc.pwrm_base"));
  t.differing("dwr", s.pmc.dwr, d.pmc.dwr, flag);

  t.table("heci");
  t.differing("present", s.heci.present, d.heci.present, flag);
  t.differing("mefs1", s.heci.mefs1, d.heci.mefs1, num("heci.mefs1"));
  t.differing("mefs2", s.heci.mefs2, d.heci.mefs2, num("heci.mefs2"));

  t.table("hob");
  t.differing("end", s.hob_list.end, d.hob_list.end, flag);
  t.table("hob.platform_info");
  t.differing("present", s.platform_info.present, d.platform_info.present, flag);
  t.differing("board_id", s.platform_info.board_id, d.platform_info.board_id,
              num("hob.platform_info.board_id"));
  t.table("hob.me_fw");
  t.differing("present", s.me_fw.present, d.me_fw.present, flag);
  t.differing("fun_number", s.me_fw.fun_number, d.me_fw.fun_number, num("hob.me_fw.fun_number"));
  t.differing("mefs1", s.me_fw.mefs1, d.me_fw.mefs1, num("hob.me_fw.mefs1"));
  if (s.guid_hobs != d.guid_hobs) {
    for (size_t i = 0; i < s.guid_hobs.size(); ++i) {
      const GuidHobConfig& hob = s.guid_hobs[i];
      const std::string key = "hob.guid[" + std::to_string(i) + "]";
      t.array_table("hob.guid");
      t.key("name", quoted(guid_text(hob.name), key + ".name"));
      if (!hob.data.empty()) t.key("data", numbers(hob.data, key + ".data"));
      if (hob.type) t.key("type", number(*hob.type, key + ".type"));
      if (hob.length) t.key("length", number(*hob.length, key + ".length"));
    }
  }

  t.table("me_icc");
  t.differing("ppi_present", s.me_icc.ppi_present, d.me_icc.ppi_present, flag);
  t.differing("status", s.me_icc.status, d.me_icc.status, num("me_icc.status"));
  t.differing("reply_command", s.me_icc.reply_command, d.me_icc.reply_command,
              num("me_icc.reply_command"));
  t.differing("reply_response", s.me_icc.reply_response, d.me_icc.reply_response,
              num("me_icc.reply_response"));
  t.differing("clocking_mode", s.me_icc.clocking_mode, d.me_icc.clocking_mode,
              num("me_icc.clocking_mode"));
  t.differing("reply_length", s.me_icc.reply_length, d.me_icc.reply_length,
              num("me_icc.reply_length"));

  t.table("spi");
  t.differing("ppi_present", s.spi.ppi_present, d.spi.ppi_present, flag);
  t.differing("status", s.spi.status, d.spi.status, num("spi.status"));
  t.differing("soft_strap", s.spi.soft_strap, d.spi.soft_strap, num("spi.soft_strap"));

  t.table("pcd");
  t.differing("ppi_present", s.pcd.ppi_present, d.pcd.ppi_present, flag);
  t.differing("pcie_base", s.pcd.pcie_base, d.pcd.pcie_base, num("pcd.pcie_base"));
  t.table("pcd.mcfg");
  t.differing("present", s.pcd.mcfg.present, d.pcd.mcfg.present, flag);
  t.differing("length", s.pcd.mcfg.length, d.pcd.mcfg.length, num("pcd.mcfg.length"));
  t.differing("bases", s.pcd.mcfg.bases, d.pcd.mcfg.bases, nums("pcd.mcfg.bases"));
  if (s.pcd.mcfg.pointer != d.pcd.mcfg.pointer && s.pcd.mcfg.pointer) {
    t.key("pointer", number(*s.pcd.mcfg.pointer, "pcd.mcfg.pointer"));
  }

  t.table("setup");
  t.differing("sata_topology", s.setup.sata_topology, d.setup.sata_topology,
              nums("setup.sata_topology"));
  t.differing("ssata_topology", s.setup.ssata_topology, d.setup.ssata_topology,
              nums("setup.ssata_topology"));
  t.differing("pcie_topology", s.setup.pcie_topology, d.setup.pcie_topology,
              nums("setup.pcie_topology"));

  t.table("policy");
  const auto policy = [](const std::string& key) {
    return [key](const auto& v) { return records(v, leading(v), key); };
  };
  t.differing("sata", s.policy.sata, d.policy.sata, policy("policy.sata"));
  t.differing("ssata", s.policy.ssata, d.policy.ssata, policy("policy.ssata"));
  t.differing("pcie_rp", s.policy.pcie_rp, d.policy.pcie_rp, policy("policy.pcie_rp"));
  t.differing("pcie_direct", s.policy.pcie_direct, d.policy.pcie_direct,
              policy("policy.pcie_direct"));

  if (s.ptss.entries && s.ptss.entries != d.ptss.entries) {
    t.table("ptss");
    std::string entries = "[\n";
    for (size_t i = 0; i < s.ptss.entries->size(); ++i) {
      entries += "  " +
                 entry_text((*s.ptss.entries)[i], "ptss.entries[" + std::to_string(i) + "]") +
                 ",\n";
    }
    t.key("entries", s.ptss.entries->empty() ? "[]" : entries + "]");
  }

  t.table("debug");
  t.differing("ppi_present", s.debug.ppi_present, d.debug.ppi_present, flag);
  t.differing("halt_on_assert", s.debug.halt_on_assert, d.debug.halt_on_assert, flag);

  t.table("foundation");
  t.differing("system_board_ppi", s.foundation.system_board_ppi, d.foundation.system_board_ppi,
              [](SystemBoardOrder order) { return "\"" + std::string(order_name(order)) + "\""; });
  t.differing("other_ppis", s.foundation.other_ppis, d.foundation.other_ppis,
              [](const std::vector<Guid>& guids) {
                return list(guids,
                            [](const Guid& g, size_t) { return "\"" + guid_text(g) + "\""; });
              });
  if (s.foundation.hob_list)
    t.key("hob_list", number(*s.foundation.hob_list, "foundation.hob_list"));
  if (s.foundation.pool) t.key("pool", number(*s.foundation.pool, "foundation.pool"));
  if (!s.foundation.locate.empty()) {
    std::string answers = "[\n";
    for (size_t i = 0; i < s.foundation.locate.size(); ++i) {
      answers +=
          "  " +
          answer_text(s.foundation.locate[i], "foundation.locate[" + std::to_string(i) + "]") +
          ",\n";
    }
    t.key("locate", answers + "]");
  }

  // A file's expectations are its own: every one that is set is written.
  const ExpectConfig& e = s.expect;
  t.table("expect");
  if (e.dispatched) t.key("dispatched", boolean(*e.dispatched));
  if (e.entry_status) {
    t.key("entry_status", *e.entry_status < 0 ? std::string("\"null\"")
                                              : number(static_cast<uint64_t>(*e.entry_status),
                                                       "expect.entry_status"));
  }
  if (e.notify_statuses)
    t.key("notify_statuses", numbers(*e.notify_statuses, "expect.notify_statuses"));
  if (e.slot15_called) t.key("slot15_called", boolean(*e.slot15_called));
  if (e.fault) t.key("fault", boolean(*e.fault));
  const auto strings = [](const std::vector<std::string>& texts, const std::string& key) {
    return list(texts, [&](const std::string& text, size_t i) {
      return quoted(text, key + "[" + std::to_string(i) + "]");
    });
  };
  if (!e.prints_contain.empty()) {
    t.key("prints_contain", strings(e.prints_contain, "expect.prints_contain"));
  }
  if (!e.prints_absent.empty()) {
    t.key("prints_absent", strings(e.prints_absent, "expect.prints_absent"));
  }
  if (e.assert_lines) t.key("assert_lines", numbers(*e.assert_lines, "expect.assert_lines"));
  if (e.sata) t.key("sata", records(*e.sata, e.sata->size(), "expect.sata"));
  if (e.ssata) t.key("ssata", records(*e.ssata, e.ssata->size(), "expect.ssata"));
  if (e.pcie_rp) t.key("pcie_rp", records(*e.pcie_rp, e.pcie_rp->size(), "expect.pcie_rp"));
  if (e.pcie_direct) {
    t.key("pcie_direct", records(*e.pcie_direct, e.pcie_direct->size(), "expect.pcie_direct"));
  }
  if (e.acpi_base) t.key("acpi_base", number(*e.acpi_base, "expect.acpi_base"));
  if (e.acpi_control) t.key("acpi_control", number(*e.acpi_control, "expect.acpi_control"));
}

}  // namespace

Expected<std::string> write_scenario(const Scenario& scenario) {
  Toml toml;
  try {
    write(toml, scenario);
  } catch (const Unwritable& u) {
    return Error{"key '" + u.key + "': " + u.why};
  }
  return std::move(toml).text();
}

}  // namespace peiboard::fuzz
