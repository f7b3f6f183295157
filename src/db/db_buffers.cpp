#include "db/db_buffers.h"

#include <ibase.h>

#include <array>
#include <charconv>
#include <string_view>

#include "core/errors.h"

namespace ztv::db {
namespace {

enum class ItemKind { String, Integer };

struct DpbItem {
  std::string_view name;  // without the "isc_dpb_" prefix, lower case
  int code;
  ItemKind kind;
};

// The client's database parameter items. The items whose value the client
// reads as a number are marked so; every other item takes a string.
constexpr std::array kDpbItems = {
    DpbItem{"cdd_pathname", isc_dpb_cdd_pathname, ItemKind::String},
    DpbItem{"allocation", isc_dpb_allocation, ItemKind::Integer},
    DpbItem{"journal", isc_dpb_journal, ItemKind::String},
    DpbItem{"page_size", isc_dpb_page_size, ItemKind::Integer},
    DpbItem{"num_buffers", isc_dpb_num_buffers, ItemKind::Integer},
    DpbItem{"buffer_length", isc_dpb_buffer_length, ItemKind::Integer},
    DpbItem{"debug", isc_dpb_debug, ItemKind::Integer},
    DpbItem{"garbage_collect", isc_dpb_garbage_collect, ItemKind::Integer},
    DpbItem{"verify", isc_dpb_verify, ItemKind::Integer},
    DpbItem{"sweep", isc_dpb_sweep, ItemKind::Integer},
    DpbItem{"enable_journal", isc_dpb_enable_journal, ItemKind::String},
    DpbItem{"disable_journal", isc_dpb_disable_journal, ItemKind::Integer},
    DpbItem{"dbkey_scope", isc_dpb_dbkey_scope, ItemKind::Integer},
    DpbItem{"number_of_users", isc_dpb_number_of_users, ItemKind::Integer},
    DpbItem{"trace", isc_dpb_trace, ItemKind::Integer},
    DpbItem{"no_garbage_collect", isc_dpb_no_garbage_collect, ItemKind::Integer},
    DpbItem{"damaged", isc_dpb_damaged, ItemKind::Integer},
    DpbItem{"license", isc_dpb_license, ItemKind::String},
    DpbItem{"sys_user_name", isc_dpb_sys_user_name, ItemKind::String},
    DpbItem{"encrypt_key", isc_dpb_encrypt_key, ItemKind::String},
    DpbItem{"activate_shadow", isc_dpb_activate_shadow, ItemKind::Integer},
    DpbItem{"sweep_interval", isc_dpb_sweep_interval, ItemKind::Integer},
    DpbItem{"delete_shadow", isc_dpb_delete_shadow, ItemKind::Integer},
    DpbItem{"force_write", isc_dpb_force_write, ItemKind::Integer},
    DpbItem{"begin_log", isc_dpb_begin_log, ItemKind::String},
    DpbItem{"quit_log", isc_dpb_quit_log, ItemKind::Integer},
    DpbItem{"no_reserve", isc_dpb_no_reserve, ItemKind::Integer},
    DpbItem{"user_name", isc_dpb_user_name, ItemKind::String},
    DpbItem{"password", isc_dpb_password, ItemKind::String},
    DpbItem{"password_enc", isc_dpb_password_enc, ItemKind::String},
    DpbItem{"sys_user_name_enc", isc_dpb_sys_user_name_enc, ItemKind::String},
    DpbItem{"interp", isc_dpb_interp, ItemKind::Integer},
    DpbItem{"online_dump", isc_dpb_online_dump, ItemKind::Integer},
    DpbItem{"old_file_size", isc_dpb_old_file_size, ItemKind::Integer},
    DpbItem{"old_num_files", isc_dpb_old_num_files, ItemKind::Integer},
    DpbItem{"old_file", isc_dpb_old_file, ItemKind::String},
    DpbItem{"old_start_page", isc_dpb_old_start_page, ItemKind::Integer},
    DpbItem{"old_start_seqno", isc_dpb_old_start_seqno, ItemKind::Integer},
    DpbItem{"old_start_file", isc_dpb_old_start_file, ItemKind::Integer},
    DpbItem{"drop_walfile", isc_dpb_drop_walfile, ItemKind::Integer},
    DpbItem{"old_dump_id", isc_dpb_old_dump_id, ItemKind::Integer},
    DpbItem{"wal_backup_dir", isc_dpb_wal_backup_dir, ItemKind::String},
    DpbItem{"wal_chkptlen", isc_dpb_wal_chkptlen, ItemKind::Integer},
    DpbItem{"wal_numbufs", isc_dpb_wal_numbufs, ItemKind::Integer},
    DpbItem{"wal_bufsize", isc_dpb_wal_bufsize, ItemKind::Integer},
    DpbItem{"wal_grp_cmt_wait", isc_dpb_wal_grp_cmt_wait, ItemKind::Integer},
    DpbItem{"lc_messages", isc_dpb_lc_messages, ItemKind::String},
    DpbItem{"lc_ctype", isc_dpb_lc_ctype, ItemKind::String},
    DpbItem{"cache_manager", isc_dpb_cache_manager, ItemKind::Integer},
    DpbItem{"shutdown", isc_dpb_shutdown, ItemKind::Integer},
    DpbItem{"online", isc_dpb_online, ItemKind::Integer},
    DpbItem{"shutdown_delay", isc_dpb_shutdown_delay, ItemKind::Integer},
    DpbItem{"reserved", isc_dpb_reserved, ItemKind::String},
    DpbItem{"overwrite", isc_dpb_overwrite, ItemKind::Integer},
    DpbItem{"sec_attach", isc_dpb_sec_attach, ItemKind::Integer},
    DpbItem{"disable_wal", isc_dpb_disable_wal, ItemKind::Integer},
    DpbItem{"connect_timeout", isc_dpb_connect_timeout, ItemKind::Integer},
    DpbItem{"dummy_packet_interval", isc_dpb_dummy_packet_interval, ItemKind::Integer},
    DpbItem{"gbak_attach", isc_dpb_gbak_attach, ItemKind::String},
    DpbItem{"sql_role_name", isc_dpb_sql_role_name, ItemKind::String},
    DpbItem{"set_page_buffers", isc_dpb_set_page_buffers, ItemKind::Integer},
    DpbItem{"working_directory", isc_dpb_working_directory, ItemKind::String},
    DpbItem{"sql_dialect", isc_dpb_sql_dialect, ItemKind::Integer},
    DpbItem{"set_db_readonly", isc_dpb_set_db_readonly, ItemKind::Integer},
    DpbItem{"set_db_sql_dialect", isc_dpb_set_db_sql_dialect, ItemKind::Integer},
    DpbItem{"gfix_attach", isc_dpb_gfix_attach, ItemKind::Integer},
    DpbItem{"gstat_attach", isc_dpb_gstat_attach, ItemKind::Integer},
    DpbItem{"set_db_charset", isc_dpb_set_db_charset, ItemKind::String},
    DpbItem{"gsec_attach", isc_dpb_gsec_attach, ItemKind::Integer},
    DpbItem{"address_path", isc_dpb_address_path, ItemKind::String},
    DpbItem{"process_id", isc_dpb_process_id, ItemKind::Integer},
    DpbItem{"no_db_triggers", isc_dpb_no_db_triggers, ItemKind::Integer},
    DpbItem{"trusted_auth", isc_dpb_trusted_auth, ItemKind::String},
    DpbItem{"process_name", isc_dpb_process_name, ItemKind::String},
    DpbItem{"trusted_role", isc_dpb_trusted_role, ItemKind::String},
    DpbItem{"org_filename", isc_dpb_org_filename, ItemKind::String},
    DpbItem{"utf8_filename", isc_dpb_utf8_filename, ItemKind::Integer},
    DpbItem{"ext_call_depth", isc_dpb_ext_call_depth, ItemKind::Integer},
    DpbItem{"auth_block", isc_dpb_auth_block, ItemKind::String},
    DpbItem{"client_version", isc_dpb_client_version, ItemKind::String},
    DpbItem{"remote_protocol", isc_dpb_remote_protocol, ItemKind::String},
    DpbItem{"host_name", isc_dpb_host_name, ItemKind::String},
    DpbItem{"os_user", isc_dpb_os_user, ItemKind::String},
    DpbItem{"specific_auth_data", isc_dpb_specific_auth_data, ItemKind::String},
    DpbItem{"auth_plugin_list", isc_dpb_auth_plugin_list, ItemKind::String},
    DpbItem{"auth_plugin_name", isc_dpb_auth_plugin_name, ItemKind::String},
    DpbItem{"config", isc_dpb_config, ItemKind::String},
    DpbItem{"nolinger", isc_dpb_nolinger, ItemKind::Integer},
    DpbItem{"reset_icu", isc_dpb_reset_icu, ItemKind::Integer},
    DpbItem{"map_attach", isc_dpb_map_attach, ItemKind::Integer},
    DpbItem{"clear_map", isc_dpb_clear_map, ItemKind::Integer},
};

const DpbItem* FindItem(const std::string& name) {
  std::string key;
  key.reserve(name.size());
  for (unsigned char c : name) key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
  constexpr std::string_view kPrefix = "isc_dpb_";
  if (key.compare(0, kPrefix.size(), kPrefix) == 0) key.erase(0, kPrefix.size());
  for (const auto& item : kDpbItems) {
    if (item.name == key) return &item;
  }
  return nullptr;
}

uint16_t ReadU16(const std::string& s, size_t pos) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[pos]) |
                               (static_cast<unsigned char>(s[pos + 1]) << 8));
}

}  // namespace

int DpbItemCode(const std::string& name) {
  const DpbItem* item = FindItem(name);
  return item ? item->code : -1;
}

std::string BuildDpb(const std::vector<DbParam>& params) {
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  for (const auto& [name, value] : params) {
    const DpbItem* item = FindItem(name);
    if (!item) continue;
    dpb += static_cast<char>(item->code);
    if (item->kind == ItemKind::Integer) {
      int32_t number = 0;
      const char* first = value.data();
      const char* last = value.data() + value.size();
      auto [end, ec] = std::from_chars(first, last, number);
      if (value.empty() || ec != std::errc() || end != last) {
        throw Exception(Format("Database parameter %s needs a number, not \"%s\"", name, value));
      }
      dpb += static_cast<char>(4);
      for (int i = 0; i < 4; ++i) dpb += static_cast<char>((static_cast<uint32_t>(number) >> (8 * i)) & 0xFF);
    } else {
      if (value.size() > 255) {
        throw Exception(Format("Database parameter %s is longer than 255 bytes", name));
      }
      dpb += static_cast<char>(value.size());
      dpb += value;
    }
  }
  return dpb;
}

std::vector<std::string> ParseUserNamesInfo(const std::string& reply, bool& truncated) {
  truncated = false;
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < reply.size()) {
    const unsigned char item = static_cast<unsigned char>(reply[pos]);
    if (item == isc_info_end) return names;
    if (item == isc_info_truncated) {
      truncated = true;
      return names;
    }
    if (pos + 3 > reply.size()) throw Exception("Database information reply is cut short");
    const size_t length = ReadU16(reply, pos + 1);
    const size_t data = pos + 3;
    if (length > reply.size() - data) throw Exception("Database information reply is cut short");
    if (item == isc_info_error) throw Exception("The server cannot report the attachments of the database");
    if (item == isc_info_user_names) {
      if (length < 1) throw Exception("Database information reply holds an empty user entry");
      const size_t nameLength = static_cast<unsigned char>(reply[data]);
      if (nameLength + 1 > length) throw Exception("Database information reply holds a malformed user entry");
      names.emplace_back(reply, data + 1, nameLength);
    }
    // Other items are skipped by their length.
    pos = data + length;
  }
  // The client always ends a complete reply with the end item.
  throw Exception("Database information reply has no end");
}

int ParseStatementTypeInfo(const std::string& reply) {
  size_t pos = 0;
  while (pos < reply.size()) {
    const unsigned char item = static_cast<unsigned char>(reply[pos]);
    if (item == isc_info_end) break;
    if (item == isc_info_truncated) throw Exception("Statement information reply is truncated");
    if (pos + 3 > reply.size()) throw Exception("Statement information reply is cut short");
    const size_t length = ReadU16(reply, pos + 1);
    const size_t data = pos + 3;
    if (length > reply.size() - data) throw Exception("Statement information reply is cut short");
    if (item == isc_info_error) throw Exception("The server cannot report the statement type");
    if (item == isc_info_sql_stmt_type) {
      if (length < 1 || length > 4) throw Exception("Statement information reply holds a malformed type");
      uint32_t value = 0;
      for (size_t i = 0; i < length; ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(reply[data + i])) << (8 * i);
      }
      return static_cast<int>(value);
    }
    pos = data + length;
  }
  throw Exception("Statement information reply has no statement type");
}

int ParseServiceAttachmentCount(const std::string& reply) {
  auto byte = [&](size_t pos) { return static_cast<uint32_t>(static_cast<unsigned char>(reply[pos])); };
  size_t pos = 0;
  while (pos < reply.size()) {
    const auto item = byte(pos++);
    if (item == isc_info_end) break;
    // Truncated, or another item than the one asked for: nothing to trust.
    if (item != isc_info_svc_svr_db_info) return -1;
    while (pos < reply.size()) {
      const auto tag = byte(pos++);
      if (tag == isc_info_flag_end) break;
      if (tag == isc_spb_num_att || tag == isc_spb_num_db) {
        if (pos + 4 > reply.size()) return -1;
        const auto value = static_cast<int32_t>(byte(pos) | byte(pos + 1) << 8 | byte(pos + 2) << 16 | byte(pos + 3) << 24);
        pos += 4;
        if (tag == isc_spb_num_att) return value < 0 ? -1 : value;
      } else if (tag == isc_spb_dbname) {
        if (pos + 2 > reply.size()) return -1;
        pos += 2 + (byte(pos) | byte(pos + 1) << 8);
      } else {
        return -1;
      }
    }
  }
  return -1;
}

}  // namespace ztv::db
