#include "db/db_buffers.h"

#include <ibase.h>

#include <gtest/gtest.h>

#include "core/errors.h"

namespace ztv::db {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// One user-name entry of a database information reply.
std::string UserEntry(const std::string& name) {
  const size_t length = name.size() + 1;
  return Bytes({isc_info_user_names, static_cast<int>(length & 0xFF), static_cast<int>(length >> 8),
                static_cast<int>(name.size())}) +
         name;
}

TEST(DbParameterBlock, UserAndPasswordBecomeCountedStrings) {
  const std::string dpb = BuildDpb({{"isc_dpb_user_name", "SYSDBA"}, {"isc_dpb_password", "tulipwood"}});
  EXPECT_EQ(dpb, Bytes({isc_dpb_version1, isc_dpb_user_name, 6}) + "SYSDBA" + Bytes({isc_dpb_password, 9}) +
                     "tulipwood");
}

TEST(DbParameterBlock, NamesAreLoweredAndThePrefixDropped) {
  EXPECT_EQ(DpbItemCode("isc_dpb_user_name"), isc_dpb_user_name);
  EXPECT_EQ(DpbItemCode("ISC_DPB_PASSWORD"), isc_dpb_password);
  EXPECT_EQ(DpbItemCode("Lc_Ctype"), isc_dpb_lc_ctype);
  EXPECT_EQ(DpbItemCode("isc_dpb_sql_role_name"), isc_dpb_sql_role_name);
  EXPECT_EQ(DpbItemCode("isc_dpb_"), -1);
  EXPECT_EQ(DpbItemCode("isc_dpb_isc_dpb_user_name"), -1);
  EXPECT_EQ(DpbItemCode("user"), -1);
  // Unknown lines are left out; the order of the others is kept.
  EXPECT_EQ(BuildDpb({{"bogus", "1"}, {"LC_CTYPE", "WIN1251"}, {"user_name", ""}}),
            Bytes({isc_dpb_version1, isc_dpb_lc_ctype, 7}) + "WIN1251" + Bytes({isc_dpb_user_name, 0}));
  EXPECT_EQ(BuildDpb({}), Bytes({isc_dpb_version1}));
}

TEST(DbParameterBlock, NumericItemsAndBounds) {
  EXPECT_EQ(BuildDpb({{"isc_dpb_num_buffers", "300"}}),
            Bytes({isc_dpb_version1, isc_dpb_num_buffers, 4, 300 & 0xFF, 300 >> 8, 0, 0}));
  EXPECT_THROW(BuildDpb({{"isc_dpb_num_buffers", "many"}}), Exception);
  EXPECT_THROW(BuildDpb({{"isc_dpb_num_buffers", ""}}), Exception);
  EXPECT_NO_THROW(BuildDpb({{"isc_dpb_password", std::string(255, 'p')}}));
  EXPECT_THROW(BuildDpb({{"isc_dpb_password", std::string(256, 'p')}}), Exception);
}

TEST(DbInformationReply, UserNamesOnePerAttachment) {
  bool truncated = true;
  const std::string reply = UserEntry("SYSDBA") + UserEntry("ZTV") + UserEntry("SYSDBA") +
                            Bytes({isc_info_end}) + std::string(20, '\0');
  EXPECT_EQ(ParseUserNamesInfo(reply, truncated), (std::vector<std::string>{"SYSDBA", "ZTV", "SYSDBA"}));
  EXPECT_FALSE(truncated);

  // Other items are skipped by their length.
  const std::string mixed = Bytes({isc_info_db_sql_dialect, 1, 0, 1}) + UserEntry("A") + Bytes({isc_info_end});
  EXPECT_EQ(ParseUserNamesInfo(mixed, truncated), (std::vector<std::string>{"A"}));

  EXPECT_TRUE(ParseUserNamesInfo(UserEntry("A") + Bytes({isc_info_truncated}), truncated).size() == 1);
  EXPECT_TRUE(truncated);
}

TEST(DbInformationReply, ServiceManagersAttachmentCount) {
  // As the server answers: the count, the number of databases and their
  // names, in either order.
  const std::string name = "/srv/db/a.fdb";
  const std::string reply = Bytes({isc_info_svc_svr_db_info, isc_spb_num_db, 1, 0, 0, 0, isc_spb_dbname,
                                   static_cast<int>(name.size()), 0}) +
                            name + Bytes({isc_spb_num_att, 3, 0, 0, 0, isc_info_flag_end, isc_info_end});
  EXPECT_EQ(ParseServiceAttachmentCount(reply), 3);
  EXPECT_EQ(ParseServiceAttachmentCount(Bytes({isc_info_svc_svr_db_info, isc_spb_num_att, 0, 1, 0, 0})), 256);
  // Cut inside the count, another item, nothing at all: no count.
  EXPECT_EQ(ParseServiceAttachmentCount(Bytes({isc_info_svc_svr_db_info, isc_spb_num_att, 1, 0})), -1);
  EXPECT_EQ(ParseServiceAttachmentCount(Bytes({isc_info_truncated})), -1);
  EXPECT_EQ(ParseServiceAttachmentCount(Bytes({isc_info_svc_svr_db_info, isc_spb_dbname, 200, 0, 'x'})), -1);
  EXPECT_EQ(ParseServiceAttachmentCount(""), -1);
}

TEST(DbInformationReply, MalformedRepliesAreRejected) {
  bool truncated = false;
  const std::string good = UserEntry("SYSDBA") + Bytes({isc_info_end});
  // Every cut of a complete reply before its end item is an error.
  for (size_t cut = 0; cut + 1 < good.size(); ++cut) {
    EXPECT_THROW(ParseUserNamesInfo(good.substr(0, cut), truncated), Exception) << "cut at " << cut;
  }
  // A name longer than its entry, an empty entry, a length past the end.
  EXPECT_THROW(ParseUserNamesInfo(Bytes({isc_info_user_names, 2, 0, 5, 'A', isc_info_end}), truncated), Exception);
  EXPECT_THROW(ParseUserNamesInfo(Bytes({isc_info_user_names, 0, 0, isc_info_end}), truncated), Exception);
  EXPECT_THROW(ParseUserNamesInfo(Bytes({isc_info_user_names, 0xFF, 0xFF, 1, 'A'}), truncated), Exception);
  EXPECT_THROW(ParseUserNamesInfo(Bytes({isc_info_error, 1, 0, 0, isc_info_end}), truncated), Exception);
}

TEST(DbInformationReply, StatementType) {
  EXPECT_EQ(ParseStatementTypeInfo(Bytes({isc_info_sql_stmt_type, 4, 0, isc_info_sql_stmt_select, 0, 0, 0,
                                          isc_info_end})),
            isc_info_sql_stmt_select);
  EXPECT_EQ(ParseStatementTypeInfo(Bytes({isc_info_sql_stmt_type, 1, 0, isc_info_sql_stmt_ddl, isc_info_end})),
            isc_info_sql_stmt_ddl);
  EXPECT_THROW(ParseStatementTypeInfo(Bytes({isc_info_end})), Exception);
  EXPECT_THROW(ParseStatementTypeInfo(Bytes({isc_info_sql_stmt_type, 4, 0, 1})), Exception);
  EXPECT_THROW(ParseStatementTypeInfo(Bytes({isc_info_sql_stmt_type, 9, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1})),
               Exception);
  EXPECT_THROW(ParseStatementTypeInfo(Bytes({isc_info_truncated})), Exception);
  EXPECT_THROW(ParseStatementTypeInfo(""), Exception);
}

}  // namespace
}  // namespace ztv::db
