// Byte buffers exchanged with the database client library: the database
// parameter block that goes in, and the information replies that come back.
// Pure functions, so that they are tested and fuzzed without a server.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ztv::db {

// One "name=value" line of a connection's parameter list.
using DbParam = std::pair<std::string, std::string>;

// Looks a parameter name up among the client's database parameter items:
// the name is lowered in case and a leading "isc_dpb_" is removed, so
// "isc_dpb_user_name", "USER_NAME" and "user_name" are one item. Returns
// the item code, or -1 when the name is no item of the client.
int DpbItemCode(const std::string& name);

// Builds the database parameter block: version byte 1, then one item per
// recognised line in list order (unknown names are left out). String items
// carry their value as a counted string; the few numeric items of the
// client carry it as a 4-byte little-endian integer. A value longer than
// 255 bytes, or a numeric item whose value is no number, is an error
// (ztv::Exception) rather than a silently cut item.
std::string BuildDpb(const std::vector<DbParam>& params);

// Reads the reply to the database information request for the attachment
// user names: one entry per attachment. `truncated` tells that the reply
// buffer was too small (ask again with a larger one). Malformed replies
// raise ztv::Exception; the reader never reads past the buffer.
std::vector<std::string> ParseUserNamesInfo(const std::string& reply, bool& truncated);

// Reads the reply to the statement information request for the statement
// type. Malformed or incomplete replies raise ztv::Exception.
int ParseStatementTypeInfo(const std::string& reply);

// The number of attachments in a service manager's isc_info_svc_svr_db_info
// reply; -1 when the reply does not hold one (truncated, malformed, another
// item).
int ParseServiceAttachmentCount(const std::string& reply);

}  // namespace ztv::db
