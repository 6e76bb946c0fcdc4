#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMenuBar>

#include "VeltraHostApp/HostWindow.h"
#include "host_window_fixture.h"
#include "qt/PaletteColors.h"

namespace veltra {
namespace {

using HostWindowTest = test::HostWindowFixture;

TEST_F(HostWindowTest, OpensTitledCentredDarkAndNoSmallerThanItsMinimum) {
  openWindow();
  EXPECT_EQ(window_->windowTitle(), "Veltra Host");
  EXPECT_EQ(window_->size(), QSize(1040, 740));
  EXPECT_EQ(window_->minimumSize(), QSize(820, 640));
  window_->resize(500, 400);
  EXPECT_EQ(window_->size(), QSize(820, 640));
  EXPECT_EQ(window_->palette().color(QPalette::Window), toQColor(VeltraPalette::background));
  QStringList menus;
  for (QAction* action : window_->menuBar()->actions()) {
    for (QAction* item : action->menu()->actions()) {
      menus << item->text() + " " + item->shortcut().toString();
    }
  }
  EXPECT_EQ(menus, (QStringList{"Quit Veltra Host Ctrl+Q", "Copy Ctrl+C", "Paste Ctrl+V",
                                "Select All Ctrl+A"}));
}

TEST_F(HostWindowTest, EditMenuActsOnTheFocusedField) {
  openWindow();
  view().setSection(HostSection::connection);
  QApplication::processEvents();
  QLineEdit* port = named<QLineEdit>("TCP port");
  ASSERT_NE(port, nullptr);
  window_->activateWindow();
  port->setFocus();
  ASSERT_TRUE(test::waitUntil([&] { return QApplication::focusWidget() == port; }));
  auto trigger = [&](const QString& title) {
    for (QAction* action : window_->menuBar()->actions()) {
      for (QAction* item : action->menu()->actions()) {
        if (item->text() == title) item->trigger();
      }
    }
  };
  trigger("Select All");
  EXPECT_EQ(port->selectedText().toStdString(), std::to_string(host_->port()));
  trigger("Copy");
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), std::to_string(host_->port()));
  QGuiApplication::clipboard()->setText("4321");
  trigger("Select All");
  trigger("Paste");
  EXPECT_EQ(host_->port(), 4321);
}

}  // namespace
}  // namespace veltra
