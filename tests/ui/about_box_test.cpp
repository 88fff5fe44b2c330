#include "ui/about_box.h"

#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "tests/ui/ui_test_support.h"

namespace {

TEST(AboutBoxTest, ShowsCaptionProductLineNoticeIconAndOk) {
  CAboutBox box;
  EXPECT_EQ(box.windowTitle(), QStringLiteral("关于..."));
  EXPECT_EQ(box.ProductLine()->text(), QStringLiteral("Quarnix 1.0.0 版"));
  EXPECT_TRUE(box.Notice()->text().contains(QStringLiteral("版权所有")));
  EXPECT_FALSE(box.IconLabel()->pixmap().isNull());
  EXPECT_EQ(box.OkButton()->text(), QStringLiteral("确定"));
  EXPECT_TRUE(box.OkButton()->isDefault());
}

TEST(AboutBoxTest, AsksForSimSun9PointWithFallbacks) {
  CAboutBox box;
  const QStringList families = box.font().families();
  ASSERT_FALSE(families.isEmpty());
  EXPECT_EQ(families.front(), QStringLiteral("宋体"));
  EXPECT_GT(families.size(), 1);
  EXPECT_EQ(box.font().pointSize(), 9);
}

TEST(AboutBoxTest, OkClosesTheBoxAccepted) {
  CAboutBox box;
  box.show();
  ASSERT_TRUE(WaitFor([&] { return box.isVisible(); }));
  box.OkButton()->click();
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.result(), QDialog::Accepted);
}

}  // namespace
