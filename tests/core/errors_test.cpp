#include "core/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace ztv {
namespace {

TEST(Errors, CheckConditionBuildsClassMethodAndText) {
  try {
    CheckCondition(false, "TStaticSet", "FieldByName", "Поле %s не найдено", "Name");
    FAIL() << "no exception";
  } catch (const ETyped& e) {
    EXPECT_STREQ(e.what(), "TStaticSet.FieldByName: Поле Name не найдено");
  }
  // Absent parts are left out together with their separator.
  EXPECT_EQ(TypedMessage("", "Open", "x"), "Open: x");
  EXPECT_EQ(TypedMessage("TObj", "", "x"), "TObj: x");
  EXPECT_EQ(TypedMessage("", "", "x"), "x");
  EXPECT_NO_THROW(CheckCondition(true, "A", "B", "%d", 1));
}

TEST(Errors, EWin32AddsCodeAndSystemText) {
  EWin32 e("Не удалось остановить службу", ENOENT);
  EXPECT_EQ(e.Code(), ENOENT);
  EXPECT_EQ(std::string(e.what()), "Не удалось остановить службу\r\nWin32 error. Code: " +
                                       std::to_string(ENOENT) + ". Message: " + SystemErrorText(ENOENT));
}

TEST(Errors, TypedErrorsAreGeneralErrors) {
  // Wrappers catch the general class; the typed ones must be caught by it.
  EXPECT_THROW(throw ETyped("x"), Exception);
  EXPECT_THROW(throw EWin32("x", 1), Exception);
}

}  // namespace
}  // namespace ztv
