#include "db/server_services.h"

#include <ibase.h>

#include "db/database.h"
#include "db/fb_client.h"

namespace ztv {
namespace {

constexpr int kConnectTimeoutSec = 10;

void AddSpbText(std::string& spb, char code, const std::string& value) {
  spb += code;
  spb += static_cast<char>(value.size());
  spb += value;
}

int32_t ReadShort(const std::string& buf, size_t pos) {
  return static_cast<unsigned char>(buf[pos]) | (static_cast<unsigned char>(buf[pos + 1]) << 8);
}

int32_t ReadLong(const std::string& buf, size_t pos) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(buf[pos + i])) << (8 * i);
  return static_cast<int32_t>(v);
}

// The attachment count of an isc_info_svc_svr_db_info reply; -1 when the
// reply does not hold one.
int ParseAttachmentCount(const std::string& reply) {
  size_t pos = 0;
  while (pos < reply.size()) {
    const auto item = static_cast<unsigned char>(reply[pos++]);
    if (item == isc_info_end) break;
    if (item != isc_info_svc_svr_db_info) {
      // Truncated or another item: nothing to trust.
      return -1;
    }
    while (pos < reply.size()) {
      const auto tag = static_cast<unsigned char>(reply[pos++]);
      if (tag == isc_info_flag_end) break;
      if (tag == isc_spb_num_att || tag == isc_spb_num_db) {
        if (pos + 4 > reply.size()) return -1;
        const int32_t value = ReadLong(reply, pos);
        pos += 4;
        if (tag == isc_spb_num_att) return value < 0 ? -1 : value;
      } else if (tag == isc_spb_dbname) {
        if (pos + 2 > reply.size()) return -1;
        const size_t length = static_cast<size_t>(ReadShort(reply, pos));
        pos += 2 + length;
      } else {
        return -1;
      }
    }
  }
  return -1;
}

}  // namespace

int ServerAttachmentCount(int port, const std::string& user, const std::string& password, std::string& error) {
  error.clear();
  try {
    const db::FbClient& client = db::FbClient::Get(kFbClientLibraryName);
    const db::FbApi& api = client.Api();
    const std::string service = "127.0.0.1/" + std::to_string(port) + ":service_mgr";
    std::string spb;
    spb += static_cast<char>(isc_spb_version);
    spb += static_cast<char>(isc_spb_current_version);
    AddSpbText(spb, isc_spb_user_name, user);
    AddSpbText(spb, isc_spb_password, password);
    spb += static_cast<char>(isc_spb_connect_timeout);
    spb += static_cast<char>(4);
    for (int i = 0; i < 4; ++i) spb += static_cast<char>((kConnectTimeoutSec >> (8 * i)) & 0xFF);

    ISC_STATUS_ARRAY status = {};
    isc_svc_handle handle = 0;
    api.service_attach(status, static_cast<unsigned short>(service.size()), service.c_str(), &handle,
                       static_cast<unsigned short>(spb.size()), spb.data());
    if (status[0] == 1 && status[1] != 0) {
      error = client.StatusText(status);
      return -1;
    }
    const char request[] = {static_cast<char>(isc_info_svc_svr_db_info)};
    std::string reply(4096, '\0');
    api.service_query(status, &handle, nullptr, 0, nullptr, sizeof request, request,
                      static_cast<unsigned short>(reply.size()), reply.data());
    int count = -1;
    if (status[0] == 1 && status[1] != 0) {
      error = client.StatusText(status);
    } else {
      count = ParseAttachmentCount(reply);
      if (count < 0) error = "the server's answer holds no attachment count";
    }
    ISC_STATUS_ARRAY detachStatus = {};
    api.service_detach(detachStatus, &handle);
    return count;
  } catch (const std::exception& e) {
    error = e.what();
    return -1;
  }
}

}  // namespace ztv
