#include "db/server_services.h"

#include <ibase.h>

#include "db/database.h"
#include "db/db_buffers.h"
#include "db/fb_client.h"

namespace ztv {
namespace {

constexpr int kConnectTimeoutSec = 10;

void AddSpbText(std::string& spb, char code, const std::string& value) {
  spb += code;
  spb += static_cast<char>(value.size());
  spb += value;
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
      count = db::ParseServiceAttachmentCount(reply);
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
